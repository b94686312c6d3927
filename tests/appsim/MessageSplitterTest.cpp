#include "tools/appsim/MessageSplitter.h"
#include "protocol/MidiText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pallorwind::appsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Split {
    Bytes bytes;
    MessageKind kind;
    bool operator==(const Split&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Split& s) {
    return os << pallorwind::protocol::FormatBytes(s.bytes) << " kind " << int(s.kind);
}

std::vector<Split> Simplify(const std::vector<ReceivedMessage>& messages) {
    std::vector<Split> out;
    for (const auto& m : messages)
        out.push_back({Bytes(m.Bytes().begin(), m.Bytes().end()), m.kind});
    return out;
}

constexpr auto C = MessageKind::Complete;

// A stream with every length class and statuses in data positions nowhere.
const Bytes kStream = {0x90, 0x3C, 0x7F, 0xC3, 0x05, 0xF8, 0xEF, 0x7F, 0x7F, 0xD0, 0x40,
                       0xF2, 0x01, 0x02, 0xF1, 0x10, 0xF3, 0x03, 0xFE, 0xB0, 0x07, 0x64};
const std::vector<Split> kExpected = {
    {{0x90, 0x3C, 0x7F}, C}, {{0xC3, 0x05}, C}, {{0xF8}, C},
    {{0xEF, 0x7F, 0x7F}, C}, {{0xD0, 0x40}, C}, {{0xF2, 0x01, 0x02}, C},
    {{0xF1, 0x10}, C},       {{0xF3, 0x03}, C}, {{0xFE}, C},
    {{0xB0, 0x07, 0x64}, C}};

TEST(MessageSplitter, SplitsByStatusWhateverTheReadBoundaries) {
    const Clock::time_point t0{};
    for (std::size_t chunk = 1; chunk <= kStream.size(); ++chunk) {
        MessageSplitter splitter;
        std::vector<ReceivedMessage> out;
        for (std::size_t at = 0; at < kStream.size(); at += chunk) {
            const std::size_t n = std::min(chunk, kStream.size() - at);
            splitter.Feed(kStream.data() + at, n, t0 + std::chrono::milliseconds(at), out);
        }
        EXPECT_EQ(Simplify(out), kExpected) << "chunk " << chunk;
        EXPECT_EQ(splitter.Pending(), 0u);
        // A message is stamped with the read that brought its last byte.
        if (chunk == 1) {
            EXPECT_EQ(out.front().arrival, t0 + std::chrono::milliseconds(2));
        }
    }
}

TEST(MessageSplitter, KeepsAnUnfinishedMessageUntilItsDataArrives) {
    MessageSplitter splitter;
    std::vector<ReceivedMessage> out;
    const Bytes first = {0xB0, 0x07};
    splitter.Feed(first.data(), first.size(), {}, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(splitter.Pending(), 2u);
    const std::uint8_t last = 0x64;
    splitter.Feed(&last, 1, {}, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Word(), 0x6407B0u);
}

TEST(MessageSplitter, ReportsStrayDataAndCutMessages) {
    MessageSplitter splitter;
    std::vector<ReceivedMessage> out;
    // Data with no status; a note-on cut short by a clock; data after a
    // complete message (no running status on this link).
    const Bytes stream = {0x40, 0x90, 0x3C, 0xF8, 0xC0, 0x01, 0x02};
    splitter.Feed(stream.data(), stream.size(), {}, out);
    const std::vector<Split> expected = {{{0x40}, MessageKind::Stray},
                                         {{0x90, 0x3C}, MessageKind::Incomplete},
                                         {{0xF8}, C},
                                         {{0xC0, 0x01}, C},
                                         {{0x02}, MessageKind::Stray}};
    EXPECT_EQ(Simplify(out), expected);
}

TEST(MessageSplitter, FormatsOneLinePerMessage) {
    auto message = [](Bytes bytes, MessageKind kind = C) {
        ReceivedMessage m;
        std::copy(bytes.begin(), bytes.end(), m.bytes.begin());
        m.size = std::uint8_t(bytes.size());
        m.kind = kind;
        m.arrival = Clock::time_point{} + std::chrono::microseconds(12345);
        return m;
    };
    EXPECT_EQ(FormatMessageLine(message({0x90, 0x3C, 0x7F}), {}),
              "+12.345 ms  90 3C 7F  note-on ch1 60 127");
    EXPECT_EQ(FormatMessageLine(message({0xCF, 0x05}), {}),
              "+12.345 ms  CF 05     program-change ch16 5");
    EXPECT_EQ(DescribeMessage(message({0xE1, 0x00, 0x40})), "pitch-bend ch2 8192");
    EXPECT_EQ(DescribeMessage(message({0xF2, 0x7F, 0x7F})), "song-position 16383");
    EXPECT_EQ(DescribeMessage(message({0xFC})), "stop");
    EXPECT_EQ(DescribeMessage(message({0x90, 0x3C}, MessageKind::Incomplete)),
              "incomplete note-on");
    EXPECT_EQ(DescribeMessage(message({0x12}, MessageKind::Stray)), "stray data byte");
}

} // namespace
} // namespace pallorwind::appsim
