#include "protocol/RecordDecoder.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace pallorwind::protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint32_t>;

// Six records, each byte distinct so that a byte out of place shows.
const Bytes kStream = {0x90, 0x3C, 0x7F, 0xC1, 0x05, 0x00, 0xB2, 0x07, 0x64,
                       0xF8, 0x00, 0x00, 0xE3, 0x11, 0x40, 0x80, 0x3D, 0x01};
const Words kWords = {0x7F3C90, 0x0005C1, 0x6407B2, 0x0000F8, 0x4011E3, 0x013D80};

// Feeds `stream` in pieces of the given sizes (the rest in one piece).
Words Decode(RecordDecoder& decoder, const Bytes& stream, const std::vector<std::size_t>& cuts) {
    Words words;
    auto collect = [&](std::uint32_t word) { words.push_back(word); };
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        decoder.Feed(stream.data() + at, cut - at, collect);
        at = cut;
    }
    decoder.Feed(stream.data() + at, stream.size() - at, collect);
    return words;
}

TEST(RecordDecoder, WholeStream) {
    RecordDecoder decoder;
    EXPECT_EQ(Decode(decoder, kStream, {}), kWords);
    EXPECT_EQ(decoder.Pending(), 0u);
}

TEST(RecordDecoder, SplitIntoTwoOrThreeReadsAtEveryOffset) {
    for (std::size_t a = 0; a <= kStream.size(); ++a) {
        RecordDecoder decoder;
        EXPECT_EQ(Decode(decoder, kStream, {a}), kWords) << "cut at " << a;
        for (std::size_t b = a; b <= kStream.size(); ++b) {
            RecordDecoder decoder3;
            EXPECT_EQ(Decode(decoder3, kStream, {a, b}), kWords) << "cuts at " << a << ", " << b;
        }
    }
}

TEST(RecordDecoder, RandomChunkingsOfALongStream) {
    std::mt19937 random(20261208);
    Bytes stream;
    Words whole;
    for (int i = 0; i < 500; ++i) {
        const std::uint8_t record[3] = {std::uint8_t(random()), std::uint8_t(random()),
                                        std::uint8_t(random())};
        stream.insert(stream.end(), record, record + 3);
        if (IsShortMessage(RecordToWord(record)))
            whole.push_back(RecordToWord(record));
    }
    for (int run = 0; run < 200; ++run) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0;;) {
            // Mostly short reads, now and then a long one.
            at += random() % 8 == 0 ? random() % 200 : random() % 5;
            if (at >= stream.size())
                break;
            cuts.push_back(at);
        }
        RecordDecoder decoder;
        ASSERT_EQ(Decode(decoder, stream, cuts), whole) << "run " << run;
    }
}

TEST(RecordDecoder, NeverCompletesARecordFromBytesNotReceived) {
    RecordDecoder decoder;
    Words words;
    auto collect = [&](std::uint32_t word) { words.push_back(word); };

    // A read of seven bytes: two records and one byte held.
    decoder.Feed(kStream.data(), 7, collect);
    EXPECT_EQ(words, Words(kWords.begin(), kWords.begin() + 2));
    EXPECT_EQ(decoder.Pending(), 1u);
    // An empty read and a one-byte read add nothing yet.
    decoder.Feed(kStream.data() + 7, 0, collect);
    decoder.Feed(kStream.data() + 7, 1, collect);
    EXPECT_EQ(words.size(), 2u);
    EXPECT_EQ(decoder.Pending(), 2u);
    // The third byte completes the held record, from received bytes only.
    decoder.Feed(kStream.data() + 8, 1, collect);
    EXPECT_EQ(words, Words(kWords.begin(), kWords.begin() + 3));
    EXPECT_EQ(decoder.Pending(), 0u);

    // Reset (a new connection) drops a held tail instead of completing it.
    decoder.Feed(kStream.data(), 2, collect);
    decoder.Reset();
    decoder.Feed(kStream.data() + 3, 3, collect);
    EXPECT_EQ(words.back(), kWords[1]);
    EXPECT_EQ(words.size(), 4u);
}

TEST(RecordDecoder, DropsRecordsThatAreNotShortMessagesAndKeepsTheOthers) {
    // Needed data bytes with the top bit set, a data byte as status, and the
    // two system-exclusive bytes.
    const std::vector<Bytes> broken = {{0x90, 0xFF, 0x40}, {0xB0, 0x07, 0x80}, {0xC0, 0x80, 0x00},
                                       {0xE0, 0x00, 0xF8}, {0xF2, 0x90, 0x00}, {0xF1, 0xF8, 0x00},
                                       {0xA0, 0x80, 0x80}, {0x3C, 0x40, 0x00}, {0x00, 0x00, 0x00},
                                       {0xF0, 0x7E, 0x00}, {0xF7, 0x00, 0x00}};
    // Padding beyond a short message's length is not looked at.
    const std::vector<Bytes> valid = {{0x90, 0x3C, 0x7F}, {0xC0, 0x05, 0xFF}, {0xD1, 0x7F, 0x80},
                                      {0xF1, 0x10, 0xFF}, {0xF3, 0x01, 0xF7}, {0xF8, 0xFF, 0xFF},
                                      {0xFF, 0x90, 0x90}, {0xE2, 0x7F, 0x7F}, {0xF6, 0xF0, 0xF0},
                                      {0x80, 0x00, 0x00}, {0xB0, 0x07, 0x64}, {0xF2, 0x7F, 0x7F}};
    Bytes stream;
    Words expected;
    for (std::size_t i = 0; i < valid.size(); ++i) {
        stream.insert(stream.end(), valid[i].begin(), valid[i].end());
        expected.push_back(RecordToWord(valid[i].data()));
        if (i < broken.size())
            stream.insert(stream.end(), broken[i].begin(), broken[i].end());
    }
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        RecordDecoder decoder;
        EXPECT_EQ(Decode(decoder, stream, {cut}), expected) << "cut at " << cut;
        EXPECT_EQ(decoder.Dropped(), broken.size()) << "cut at " << cut;
    }
    for (const Bytes& record : broken)
        EXPECT_FALSE(IsShortMessage(RecordToWord(record.data())));
    EXPECT_FALSE(IsShortMessage(0x01003C90)); // bits above the message
}

TEST(RecordDecoder, WordsKeepBitsAboveTheMessageClear) {
    const Bytes record = {0xFF, 0xFF, 0xFF};
    RecordDecoder decoder;
    Words words;
    decoder.Feed(record.data(), 3, [&](std::uint32_t word) { words.push_back(word); });
    EXPECT_EQ(words, Words{0x00FFFFFF});
}

} // namespace
} // namespace pallorwind::protocol
