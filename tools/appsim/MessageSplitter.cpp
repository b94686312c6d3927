#include "tools/appsim/MessageSplitter.h"

#include "protocol/MidiMessage.h"

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

std::string FormatBytes(std::span<const std::uint8_t> bytes) {
    std::string text;
    char hex[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", byte);
        if (!text.empty())
            text += ' ';
        text += hex;
    }
    return text;
}

namespace {

const char* SystemMessageName(std::uint8_t status) {
    switch (status) {
    case 0xF0:
        return "sysex-start";
    case 0xF1:
        return "time-code";
    case 0xF2:
        return "song-position";
    case 0xF3:
        return "song-select";
    case 0xF6:
        return "tune-request";
    case 0xF7:
        return "sysex-end";
    case 0xF8:
        return "clock";
    case 0xFA:
        return "start";
    case 0xFB:
        return "continue";
    case 0xFC:
        return "stop";
    case 0xFE:
        return "active-sensing";
    case 0xFF:
        return "reset";
    default:
        return "undefined";
    }
}

const char* ChannelMessageName(std::uint8_t status) {
    static const char* const names[] = {"note-off",       "note-on",        "poly-pressure",
                                        "control-change", "program-change", "channel-pressure",
                                        "pitch-bend"};
    return names[(status >> 4) - 8];
}

} // namespace

std::string DescribeMessage(const ReceivedMessage& message) {
    const std::uint8_t status = message.bytes[0];
    if (message.kind == MessageKind::Stray)
        return "stray data byte";
    std::string text = status < 0xF0 ? ChannelMessageName(status) : SystemMessageName(status);
    if (message.kind == MessageKind::Incomplete)
        return "incomplete " + text;
    if (status < 0xF0)
        text += " ch" + std::to_string((status & 0x0F) + 1);
    const unsigned d1 = message.bytes[1], d2 = message.bytes[2];
    const int length = protocol::MessageLength(status);
    if ((status & 0xF0) == 0xE0 || status == 0xF2)
        text += " " + std::to_string(d1 | d2 << 7);
    else if (length >= 2)
        text += " " + std::to_string(d1);
    if (length == 3 && (status & 0xF0) != 0xE0 && status != 0xF2)
        text += " " + std::to_string(d2);
    return text;
}

std::string FormatMessageLine(const ReceivedMessage& message, Clock::time_point origin) {
    const double ms = std::chrono::duration<double, std::milli>(message.arrival - origin).count();
    char time[32];
    std::snprintf(time, sizeof time, "%+.3f ms", ms);
    std::string bytes = FormatBytes(message.Bytes());
    bytes.resize(std::max<std::size_t>(bytes.size(), 8), ' ');
    return std::string(time) + "  " + bytes + "  " + DescribeMessage(message);
}

} // namespace pallorwind::appsim
