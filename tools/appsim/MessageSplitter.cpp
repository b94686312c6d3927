#include "tools/appsim/MessageSplitter.h"

#include "protocol/MidiMessage.h"
#include "protocol/MidiText.h"

#include <algorithm>
#include <cstdio>

namespace pallorwind::appsim {

std::uint32_t ReceivedMessage::Word() const {
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < size; ++i)
        word |= std::uint32_t(bytes[i]) << (8 * i);
    return word;
}

void MessageSplitter::Feed(const std::uint8_t* data, std::size_t size, Clock::time_point arrival,
                           std::vector<ReceivedMessage>& out) {
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t byte = data[i];
        if (byte >= 0x80) {
            if (m_partial.size > 0) {
                m_partial.kind = MessageKind::Incomplete;
                m_partial.arrival = arrival;
                out.push_back(m_partial);
                m_partial = {};
            }
            m_partial.bytes[0] = byte;
            m_partial.size = 1;
        } else if (m_partial.size == 0) {
            ReceivedMessage stray;
            stray.bytes[0] = byte;
            stray.size = 1;
            stray.kind = MessageKind::Stray;
            stray.arrival = arrival;
            out.push_back(stray);
            continue;
        } else {
            m_partial.bytes[m_partial.size++] = byte;
        }
        if (m_partial.size == protocol::MessageLength(m_partial.bytes[0])) {
            m_partial.kind = MessageKind::Complete;
            m_partial.arrival = arrival;
            out.push_back(m_partial);
            m_partial = {};
        }
    }
}

std::string DescribeMessage(const ReceivedMessage& message) {
    if (message.kind == MessageKind::Stray)
        return "stray data byte";
    if (message.kind == MessageKind::Incomplete)
        return std::string("incomplete ") + protocol::MessageName(message.bytes[0]);
    return protocol::DescribeMessage(message.bytes.data());
}

std::string FormatMessageLine(const ReceivedMessage& message, Clock::time_point origin) {
    const double ms = std::chrono::duration<double, std::milli>(message.arrival - origin).count();
    char time[32];
    std::snprintf(time, sizeof time, "%+.3f ms", ms);
    std::string bytes = protocol::FormatBytes(message.Bytes());
    bytes.resize(std::max<std::size_t>(bytes.size(), 8), ' ');
    return std::string(time) + "  " + bytes + "  " + DescribeMessage(message);
}

} // namespace pallorwind::appsim
