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
class RecordDecoder {
public:
    // Calls `onWord(uint32_t)` for every complete record in `data`, in order.
    template <typename OnWord>
    void Feed(const std::uint8_t* data, std::size_t size, OnWord&& onWord) {
        std::size_t i = 0;
        if (m_held > 0) {
            while (m_held < kRecordSize && i < size)
                m_tail[m_held++] = data[i++];
            if (m_held < kRecordSize)
                return;
            m_held = 0;
            onWord(RecordToWord(m_tail));
        }
        for (; i + kRecordSize <= size; i += kRecordSize)
            onWord(RecordToWord(data + i));
        while (i < size)
            m_tail[m_held++] = data[i++];
    }

    // Bytes of an incomplete record waiting for the rest.
    std::size_t Pending() const { return m_held; }
    void Reset() { m_held = 0; }

private:
    std::uint8_t m_tail[kRecordSize] = {};
    std::size_t m_held = 0;
};

} // namespace pallorwind::protocol
