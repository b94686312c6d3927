#include "protocol/MidiMessage.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace pallorwind::protocol {
namespace {

// MIDI 1.0's table of message sizes, by kind of channel message (0x8n-0xEn)
// and by system status (0xF0-0xFF).
constexpr std::array<int, 7> kChannelLength = {
    3, // note off
    3, // note on
    3, // poly pressure
    3, // control change
    2, // program change
    2, // channel pressure
    3, // pitch bend
};
constexpr std::array<int, 16> kSystemLength = {
    1, // F0 sysex start
    2, // F1 time code quarter frame
    3, // F2 song position pointer
    2, // F3 song select
    1, // F4 undefined
    1, // F5 undefined
    1, // F6 tune request
    1, // F7 sysex end
    1, // F8 clock
    1, // F9 undefined
    1, // FA start
    1, // FB continue
    1, // FC stop
    1, // FD undefined
    1, // FE active sensing
    1, // FF reset
};

int ExpectedLength(unsigned status) {
    return status >= 0xF0 ? kSystemLength[status - 0xF0] : kChannelLength[(status >> 4) - 8];
}

TEST(MessageLength, EveryStatusOnEveryChannel) {
    for (unsigned status = 0x80; status <= 0xFF; ++status)
        EXPECT_EQ(MessageLength(std::uint8_t(status)), ExpectedLength(status))
            << std::hex << status;
    // A data byte where a status should be never claims bytes after it.
    for (unsigned data = 0; data < 0x80; ++data)
        EXPECT_EQ(MessageLength(std::uint8_t(data)), 1) << std::hex << data;
}

TEST(ShortMessage, EncodesExactlyTheBytesItsStatusCallsFor) {
    for (unsigned status = 0; status <= 0xFF; ++status) {
        // Bits above the message must never leak into the stream.
        const std::uint32_t word = 0xAB000000u | 0x00654300u | status;
        std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        const int length = EncodeShortMessage(word, out);
        ASSERT_EQ(length, MessageLength(std::uint8_t(status)));
        const std::uint8_t expected[3] = {std::uint8_t(status), 0x43, 0x65};
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(out[i], i < length ? expected[i] : 0xEE) << std::hex << status << " " << i;
    }
}

TEST(ShortMessage, StreamCarriesNoSeparatorsOrPadding) {
    // Record bytes as the app sends them, then what the bridge writes back
    // for the words they decode to.
    const std::vector<std::uint8_t> records = {0x90, 0x3C, 0x7F, 0xC5, 0x07, 0x00, 0xF8, 0x00,
                                               0x00, 0xE0, 0x00, 0x40, 0xF3, 0x02, 0x00};
    std::string stream;
    for (std::size_t i = 0; i < records.size(); i += kRecordSize)
        AppendShortMessage(stream, RecordToWord(records.data() + i));
    const std::string expected = {'\x90', '\x3C', '\x7F', '\xC5', '\x07', '\xF8',
                                  '\xE0', '\x00', '\x40', '\xF3', '\x02'};
    EXPECT_EQ(stream, expected);
}

} // namespace
} // namespace pallorwind::protocol
