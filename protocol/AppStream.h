// The two streams of the app's connection, read as they arrive. Pure: bytes
// in, events out.
// - What an app sends: three-byte records, each carrying one MIDI short
//   message, and, on a connection that carries layouts, a layout marker
//   followed by a layout block.
// - What a bridge sends an app: MIDI bytes, and layouts after their marker.
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

// A layout block after its marker, fed as it arrives. Nothing on the wire
// marks the end of a block's name: the block ends with the burst that has all
// its content and some name. What the name has beyond kMaxLayoutNameSize is
// counted and dropped. Handlers have these members:
//   void LayoutReceived(Layout&& layout);       a layout block has ended
//   void LayoutRefused(std::uint64_t declared); a block stating too much has passed
class LayoutBlockReader {
public:
    // A marker was seen; `markerRest` of its 0xFF bytes are still to come
    // (a marker cut by TCP ends in the next read, before the length field).
    void Start(std::size_t markerRest = 0);
    // Bytes of the block (all of `data` belongs to it until the burst ends).
    void Feed(const std::uint8_t* data, std::size_t size);
    // The burst has ended: a block whose content is all here ends now and
    // goes to the handler. True when it ended.
    template <typename Handler> bool EndOfBurst(Handler& h) {
        if (!Ended())
            return false;
        const std::uint64_t declared = m_layout.ContentLength().value_or(0);
        std::optional<Layout> layout = m_layout.Take();
        Reset();
        if (layout)
            h.LayoutReceived(std::move(*layout));
        else
            h.LayoutRefused(declared);
        return true;
    }
    bool Active() const { return m_active; }
    // All its content and some name are here: the burst's end ends it.
    bool Ended() const {
        const LayoutState state = m_layout.State();
        return m_active && (state == LayoutState::Complete || state == LayoutState::Refused);
    }
    // Bytes of the block received so far, kept or not.
    std::uint64_t Bytes() const { return m_layout.Received() + m_nameDropped; }
    void Reset();

private:
    LayoutReceiver m_layout;
    bool m_active = false;
    std::size_t m_markerRest = 0;
    std::uint64_t m_nameDropped = 0; // name bytes beyond kMaxLayoutNameSize
};

// The app's stream. Events go to a handler with LayoutBlockReader's members
// and:
//   void Message(std::uint32_t word);      a well-formed record
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
            if (m_layout.Active()) {
                m_layout.Feed(data + at, size - at);
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
    template <typename Handler> void EndOfBurst(Handler& h) { m_layout.EndOfBurst(h); }

    // A layout block is being received.
    bool InLayout() const { return m_layout.Active(); }
    // Bytes of the current layout block received so far.
    std::uint64_t LayoutBytes() const { return m_layout.Bytes(); }
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

    const bool m_layouts;
    RecordDecoder m_records;
    LayoutBlockReader m_layout;
};

// What a bridge sends an app: MIDI as a plain byte stream, and layouts, each
// after a marker of three 0xFF bytes in a row (fewer are System Reset
// messages). Events go to a handler with LayoutBlockReader's members and:
//   void Midi(const std::uint8_t* bytes, std::size_t size);  MIDI bytes, in order
class BridgeStreamReader {
public:
    template <typename Handler> void Feed(const std::uint8_t* data, std::size_t size, Handler& h) {
        std::size_t run = 0; // MIDI bytes before `i` not handed out yet
        for (std::size_t i = 0; i < size; ++i) {
            if (m_layout.Active()) {
                m_layout.Feed(data + i, size - i);
                return;
            }
            if (data[i] != kLayoutMarkerByte) {
                FlushMarkerBytes(h);
                ++run;
                continue;
            }
            if (run > 0)
                h.Midi(data + i - run, run);
            run = 0;
            if (++m_markerBytes == kLayoutMarkerSize) {
                m_markerBytes = 0;
                m_layout.Start();
            }
        }
        if (run > 0)
            h.Midi(data + size - run, run);
    }
    template <typename Handler> void EndOfBurst(Handler& h) { m_layout.EndOfBurst(h); }

    bool InLayout() const { return m_layout.Active(); }
    // The layout block has all its content and some name.
    bool LayoutEnded() const { return m_layout.Ended(); }
    // 0xFF bytes held while they may start a marker.
    std::size_t HeldMarkerBytes() const { return m_markerBytes; }

private:
    // Fewer than a marker's worth: System Reset bytes after all.
    template <typename Handler> void FlushMarkerBytes(Handler& h) {
        static constexpr std::uint8_t kResets[kLayoutMarkerSize] = {
            kLayoutMarkerByte, kLayoutMarkerByte, kLayoutMarkerByte};
        if (m_markerBytes > 0)
            h.Midi(kResets, m_markerBytes);
        m_markerBytes = 0;
    }

    LayoutBlockReader m_layout;
    std::size_t m_markerBytes = 0;
};

} // namespace pallorwind::protocol
