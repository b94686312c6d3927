#include "protocol/AppStream.h"

#include <algorithm>

namespace pallorwind::protocol {

void LayoutBlockReader::Start(std::size_t markerRest) {
    Reset();
    m_active = true;
    m_markerRest = markerRest;
}

void LayoutBlockReader::Reset() {
    m_layout.Reset();
    m_active = false;
    m_markerRest = 0;
    m_nameDropped = 0;
}

void LayoutBlockReader::Feed(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (m_markerRest > 0 && at < size && data[at] == kLayoutMarkerByte) {
        ++at;
        --m_markerRest;
    }
    // The length field starts with a digit: the marker is behind us.
    if (at < size)
        m_markerRest = 0;
    while (at < size) {
        const auto length = m_layout.ContentLength();
        std::size_t take = size - at;
        if (!length) {
            take = std::min<std::size_t>(take, kLengthFieldSize - m_layout.Received());
        } else {
            // Up to the end of the longest name kept, and no further.
            const std::uint64_t end = kLengthFieldSize + *length + kMaxLayoutNameSize;
            take = std::size_t(std::min<std::uint64_t>(take, end - m_layout.Received()));
            if (take == 0) {
                m_nameDropped += size - at;
                return;
            }
        }
        m_layout.Feed(data + at, take);
        at += take;
    }
}

void AppStreamReader::Reset() {
    m_records.Reset();
    m_layout.Reset();
}

void AppStreamReader::StartLayout(const std::uint8_t* record) {
    // The marker's bytes that ended this record; the rest of a marker that
    // TCP or the sender cut starts what follows.
    std::size_t trailing = 0;
    while (trailing < kRecordSize && record[kRecordSize - 1 - trailing] == kLayoutMarkerByte)
        ++trailing;
    m_layout.Start(kLayoutMarkerSize - std::min(trailing, kLayoutMarkerSize));
}

} // namespace pallorwind::protocol
