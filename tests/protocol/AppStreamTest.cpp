// The app's stream as both bridges read it, and the notes an app holds.
#include "protocol/AppStream.h"
#include "protocol/HeldNotes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace pallorwind::protocol {
namespace {

using namespace std::string_literals;

// What a reader hands out, as text: "m 7f3c90", "L name=content", "R 99".
struct Recorder {
    std::vector<std::string> events;
    void Message(std::uint32_t word) {
        char text[16];
        std::snprintf(text, sizeof text, "m %06x", unsigned(word));
        events.push_back(text);
    }
    void LayoutReceived(Layout&& layout) {
        events.push_back("L " + layout.name + "=" + layout.content);
    }
    void LayoutRefused(std::uint64_t declared) {
        events.push_back("R " + std::to_string(declared));
    }
};

// Feeds `stream` in reads cut at `cuts`; each read is a burst of its own
// when `burstEach`, otherwise the whole stream is one burst.
std::vector<std::string> Read(const std::string& stream, const std::vector<std::size_t>& cuts,
                              bool burstEach = false, bool layouts = true) {
    AppStreamReader reader(layouts);
    Recorder recorder;
    std::size_t at = 0;
    auto feed = [&](std::size_t end) {
        reader.Feed(reinterpret_cast<const std::uint8_t*>(stream.data()) + at, end - at, recorder);
        at = end;
        if (burstEach)
            reader.EndOfBurst(recorder);
    };
    for (std::size_t cut : cuts)
        feed(cut);
    feed(stream.size());
    reader.EndOfBurst(recorder);
    return recorder.events;
}

TEST(AppStream, RecordsAreOneMessageEachHoweverTheReadsCutThem) {
    // A note, a program change and channel pressure with their padding, a
    // clock, and a malformed record (data byte as status) between them.
    const std::string stream = "\x90\x3C\x7F\xC0\x05\x00\x01\x02\x03\xD0\x20\x00\xF8\x00\x00"s;
    const std::vector<std::string> expected = {"m 7f3c90", "m 0005c0", "m 0020d0", "m 0000f8"};
    EXPECT_EQ(Read(stream, {}), expected);
    for (std::size_t a = 0; a <= stream.size(); ++a)
        for (std::size_t b = a; b <= stream.size(); ++b)
            ASSERT_EQ(Read(stream, {a, b}, true), expected) << a << "," << b;

    // A record cut short is held, never played half and never padded.
    AppStreamReader reader(true);
    Recorder recorder;
    reader.Feed(reinterpret_cast<const std::uint8_t*>("\x90\x3C"), 2, recorder);
    reader.EndOfBurst(recorder);
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_EQ(reader.Pending(), 2u);
    reader.Feed(reinterpret_cast<const std::uint8_t*>("\x7F"), 1, recorder);
    EXPECT_EQ(recorder.events, std::vector<std::string>{"m 7f3c90"});
    EXPECT_EQ(reader.Dropped(), 0u);

    // Where layouts are not carried, 0xFF is a System Reset like any other.
    EXPECT_EQ(Read("\xFF\xFF\xFF\x90\x3C\x7F"s, {}, false, false),
              (std::vector<std::string>{"m ffffff", "m 7f3c90"}));
}

TEST(AppStream, ALayoutAfterItsMarkerEndsWithTheBurstWhereverTheReadsCutIt) {
    const std::string block = EncodeLayoutBlock("hello", "Drums");
    const std::string stream = "\x90\x3C\x7F"s + LayoutMarker() + block;
    const std::vector<std::string> expected = {"m 7f3c90", "L Drums=hello"};
    for (std::size_t a = 0; a <= stream.size(); ++a)
        for (std::size_t b = a; b <= stream.size(); ++b)
            ASSERT_EQ(Read(stream, {a, b}), expected) << a << "," << b;

    // The name is what had arrived when the burst ended; MIDI follows.
    EXPECT_EQ(Read(LayoutMarker() + block + "\x80\x3C\x00"s, {3 + block.size() - 3}, true),
              (std::vector<std::string>{"L Dr=hello", "m 003c80"}));
    // A record with a single 0xFF starts a layout too; the rest of a cut
    // marker is skipped before the length field.
    EXPECT_EQ(Read("\x90\xFF\x00"s + block, {}), std::vector<std::string>{"L Drums=hello"});
    EXPECT_EQ(Read("\x00\x00\xFF"s + "\xFF\xFF"s + block, {3, 4}),
              std::vector<std::string>{"L Drums=hello"});
    // A block that states too much is followed to its end and refused.
    const std::string big = EncodeLengthField(kMaxLayoutContentSize + 1) +
                            std::string(kMaxLayoutContentSize + 1, 'c') + "Big";
    EXPECT_EQ(
        Read(LayoutMarker() + big + "\xF8\x00\x00"s, {3 + big.size()}, true),
        (std::vector<std::string>{"R " + std::to_string(kMaxLayoutContentSize + 1), "m 0000f8"}));
}

TEST(AppStream, ANameThatGoesOnIsKeptOnlyUpToItsBound) {
    AppStreamReader reader(true);
    Recorder recorder;
    const std::string head = LayoutMarker() + EncodeLayoutBlock("c", "");
    reader.Feed(reinterpret_cast<const std::uint8_t*>(head.data()), head.size(), recorder);
    // Four megabytes of name, in reads, in one burst: the reader keeps the
    // bound, counts the rest, and plays none of it.
    const std::string chunk(64 * 1024, '\x90');
    for (int i = 0; i < 64; ++i)
        reader.Feed(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size(), recorder);
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_EQ(reader.LayoutBytes(), kLengthFieldSize + 1 + 64 * chunk.size());
    reader.EndOfBurst(recorder);
    ASSERT_EQ(recorder.events.size(), 1u);
    EXPECT_EQ(recorder.events[0], "L " + std::string(kMaxLayoutNameSize, '\x90') + "=c");
    EXPECT_FALSE(reader.InLayout());
}

TEST(AppStream, RandomStreamsReadTheSameInAnyReads) {
    std::mt19937 random(20261210);
    for (int run = 0; run < 200; ++run) {
        std::string stream;
        for (int part = 0; part < 8; ++part) {
            if (random() % 4 == 0) {
                std::string content(random() % 40, 'a' + char(random() % 26));
                stream += LayoutMarker() + EncodeLayoutBlock(content, "n" + std::to_string(part));
                break; // a layout's name runs to the end of the burst
            }
            for (int i = 0; i < 3; ++i)
                stream.push_back(char(random() % 0xFF));
        }
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; (at += random() % 7) < stream.size();)
            cuts.push_back(at);
        ASSERT_EQ(Read(stream, cuts), Read(stream, {})) << "run " << run;
    }
}

TEST(HeldNotes, WhatAnAppLeftHeldIsLetGoOnceAndNothingElse) {
    HeldNotes held;
    held.Played(0x7F3C90); // C4 on, channel 1
    held.Played(0x404092); // E4 on, channel 3
    held.Played(0x004390); // G4 on with velocity 0: an off
    held.Played(0x7F4590); // A4 on...
    held.Played(0x404580); // ...and off
    held.Played(0x7F40B0); // sustain down, channel 1
    held.Played(0x7F42B5); // sostenuto down, channel 6
    held.Played(0x7F43B0); // soft down...
    held.Played(0x2043B0); // ...and up again (below 64)
    held.Played(0x7F07B0); // volume: no pedal
    held.Played(0x0005C0); // program change
    EXPECT_FALSE(held.Empty());
    EXPECT_EQ(held.Release(), (std::vector<std::uint32_t>{0x403C80, 0x404082, 0x0040B0, 0x0042B5}));
    EXPECT_TRUE(held.Empty());
    EXPECT_TRUE(held.Release().empty());
}

} // namespace
} // namespace pallorwind::protocol
