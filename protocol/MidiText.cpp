#include "protocol/MidiText.h"

#include "protocol/MidiMessage.h"

#include <cstdio>

namespace pallorwind::protocol {

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

const char* MessageName(std::uint8_t status) {
    static const char* const channel[] = {"note-off",       "note-on",        "poly-pressure",
                                          "control-change", "program-change", "channel-pressure",
                                          "pitch-bend"};
    if (status < 0x80)
        return "data";
    if (status < 0xF0)
        return channel[(status >> 4) - 8];
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

namespace {

// Appends " value" (GCC 12 at -O3 warns falsely about operator+ with a fresh
// std::to_string here, so the text is built by appending).
void AppendNumber(std::string& text, unsigned value) {
    text += ' ';
    text += std::to_string(value);
}

} // namespace

std::string DescribeMessage(const std::uint8_t* bytes) {
    const std::uint8_t status = bytes[0];
    std::string text = MessageName(status);
    if (status >= 0x80 && status < 0xF0) {
        text += " ch";
        text += std::to_string((status & 0x0F) + 1);
    }
    const int length = MessageLength(status);
    if ((status & 0xF0) == 0xE0 || status == 0xF2) { // one 14-bit value
        AppendNumber(text, unsigned(bytes[1]) | unsigned(bytes[2]) << 7);
        return text;
    }
    if (length >= 2)
        AppendNumber(text, bytes[1]);
    if (length == 3)
        AppendNumber(text, bytes[2]);
    return text;
}

std::string DescribeShortMessage(std::uint32_t word) {
    std::uint8_t bytes[3] = {};
    const int length = EncodeShortMessage(word, bytes);
    return FormatBytes({bytes, std::size_t(length)}) + "  " + DescribeMessage(bytes);
}

} // namespace pallorwind::protocol
