// What an app sends, read as it arrives: three-byte records, each carrying one
// MIDI short message, and, on a connection that carries layouts, a layout
// marker followed by a layout block. Pure: bytes in, events out.
#pragma once

#include "protocol/LayoutTransfer.h"
#include "protocol/RecordDecoder.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pallorwind::protocol {

// The bytes of a layout's name that are kept after its content. Nothing on
// the wire ends a name but the end of a burst; what a sender adds beyond this
// is counted and dropped, never kept and never played.
inline constexpr std::size_t kMaxLayoutNameSize = 1024;

// Events go to a handler with these members (called during Feed/EndOfBurst):
//   void Message(std::uint32_t word);      a well-formed record
//   void LayoutReceived(Layout&& layout);  a layout block has ended
//   void LayoutRefused(std::uint64_t declared); a block stating too much has passed
class AppStreamReader {
public:
    // `carriesLayouts`: a record holding a 0xFF byte is the layout marker.
    // Without, every record is MIDI (0xFF alone is a System Reset).
    explicit AppStreamReader(bool carriesLayouts) : m_layouts(carriesLayouts) {}

    // The bytes of one read. A record split across reads is joined with the
    // rest when it comes, never played half and never padded; malformed
    // records are dropped (counted in Dropped()).
    template <typename Handler> void Feed(const std::uint8_t* data, std::size_t size, Handler& h) {
        std::size_t at = 0;
        while (at < size) {
            if (m_inLayout) {
                FeedLayout(data + at, size - at);
                return; // a block runs to the end of the burst
            }
            at += m_records.FeedRecords(data + at, size - at, [&](const std::uint8_t* record) {
                if (m_layouts && IsMarker(record)) {
                    StartLayout(record);
                    return false;
                }
                m_records.Hand(RecordToWord(record), [&](std::uint32_t word) { h.Message(word); });
                return true;
            });
        }
    }

    // Nothing more has arrived for now. A layout block whose content is all
    // here ends with the burst: its name is what has arrived.
    template <typename Handler> void EndOfBurst(Handler& h) {
        const LayoutState state = m_layout.State();
        if (m_inLayout && (state == LayoutState::Complete || state == LayoutState::Refused))
            EndLayout(h);
    }

    // A layout block is being received.
    bool InLayout() const { return m_inLayout; }
    // Bytes of the current layout block received so far.
    std::uint64_t LayoutBytes() const { return m_layout.Received() + m_nameDropped; }
    // Bytes of a record waiting for the rest.
    std::size_t Pending() const { return m_records.Pending(); }
    // Malformed records dropped so far.
    std::uint64_t Dropped() const { return m_records.Dropped(); }
    // A new connection: back to records, nothing held.
    void Reset();

private:
    static bool IsMarker(const std::uint8_t* record) {
        return record[0] == kLayoutMarkerByte || record[1] == kLayoutMarkerByte ||
               record[2] == kLayoutMarkerByte;
    }
    void StartLayout(const std::uint8_t* record);
    // Feeds the block; what its name has beyond the bound is dropped.
    void FeedLayout(const std::uint8_t* data, std::size_t size);
    template <typename Handler> void EndLayout(Handler& h) {
        const LayoutState state = m_layout.State();
        const std::uint64_t declared = m_layout.ContentLength().value_or(0);
        std::optional<Layout> layout = m_layout.Take();
        m_layout.Reset();
        m_inLayout = false;
        m_nameDropped = 0;
        if (layout)
            h.LayoutReceived(std::move(*layout));
        else if (state == LayoutState::Refused)
            h.LayoutRefused(declared);
    }

    const bool m_layouts;
    RecordDecoder m_records;
    LayoutReceiver m_layout;
    bool m_inLayout = false;
    // Marker bytes still to skip: a marker cut by TCP ends in the next read,
    // before the length field.
    std::size_t m_markerRest = 0;
    std::uint64_t m_nameDropped = 0; // name bytes beyond kMaxLayoutNameSize
};

} // namespace pallorwind::protocol
