// Cuts the app's byte stream into three-byte records.
#pragma once

#include "protocol/MidiMessage.h"

#include <cstddef>
#include <cstdint>

namespace pallorwind::protocol {

// TCP may split a record anywhere, so a read whose length is not a multiple of
// three leaves its incomplete tail here; the next bytes received on the same
// connection complete it. A record is never filled with bytes that were not
// received. One decoder per connection.
//
// A record that is not a well-formed short message (IsShortMessage: a data
// byte or system-exclusive byte as status, or a needed data byte with the top
// bit set) is dropped here: a synthesizer would read its bytes as other
// messages (90 FF 40 as a cut-off note, a System Reset and a stray byte).
// The records around it are handed out as usual.
class RecordDecoder {
public:
    // Calls `onWord(uint32_t)` for every complete, well-formed record in
    // `data`, in order.
    template <typename OnWord>
    void Feed(const std::uint8_t* data, std::size_t size, OnWord&& onWord) {
        FeedRecords(data, size, [&](const std::uint8_t* record) {
            Hand(RecordToWord(record), onWord);
            return true;
        });
    }

    // Calls `onRecord(const uint8_t* record)` with the three bytes of every
    // complete record in `data`, in order, well-formed or not, until it
    // answers false. Returns the bytes of `data` taken: all of them, or up to
    // the end of the record that was answered false (the caller reads the
    // rest differently).
    template <typename OnRecord>
    std::size_t FeedRecords(const std::uint8_t* data, std::size_t size, OnRecord&& onRecord) {
        std::size_t i = 0;
        if (m_held > 0) {
            while (m_held < kRecordSize && i < size)
                m_tail[m_held++] = data[i++];
            if (m_held < kRecordSize)
                return i;
            m_held = 0;
            if (!onRecord(static_cast<const std::uint8_t*>(m_tail)))
                return i;
        }
        for (; i + kRecordSize <= size; i += kRecordSize)
            if (!onRecord(data + i))
                return i + kRecordSize;
        while (i < size)
            m_tail[m_held++] = data[i++];
        return size;
    }

    // Bytes of an incomplete record waiting for the rest.
    std::size_t Pending() const { return m_held; }
    // Records dropped as not well-formed since the decoder was made.
    std::uint64_t Dropped() const { return m_dropped; }
    void Reset() { m_held = 0; }

    // Hands `word` on when it is well-formed, and counts it as dropped
    // otherwise.
    template <typename OnWord> void Hand(std::uint32_t word, OnWord&& onWord) {
        if (IsShortMessage(word))
            onWord(word);
        else
            ++m_dropped;
    }

private:
    std::uint8_t m_tail[kRecordSize] = {};
    std::size_t m_held = 0;
    std::uint64_t m_dropped = 0;
};

} // namespace pallorwind::protocol
