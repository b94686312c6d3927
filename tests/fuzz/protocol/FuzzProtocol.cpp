// libFuzzer target for the app's stream as the bridges read it (records,
// layout markers, layout blocks), the bridge's stream as an app reads it, the
// record decoder and the layout receiver.
//
// Input: byte 0 says how many of the next bytes are read sizes (up to 32);
// the rest is the stream. The stream is fed in reads of those sizes, cycled
// (0-63 bytes each, so empty reads happen too; one byte each when all are
// empty), and what comes out must equal what a single read of everything
// gives.
#include "protocol/AppStream.h"
#include "protocol/HeldNotes.h"
#include "protocol/LayoutTransfer.h"
#include "protocol/RecordDecoder.h"

#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

namespace {

using namespace pallorwind::protocol;

#define CHECK(condition)                                                                           \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

using Bytes = std::span<const std::uint8_t>;

// Calls feed(piece, readByte) for consecutive pieces of `stream` whose sizes
// come from `reads`; readByte is the byte that chose the size.
template <typename Feed> void FeedInReads(Bytes stream, Bytes reads, Feed&& feed) {
    bool anySize = false;
    for (std::uint8_t read : reads)
        anySize = anySize || (read & 0x3F) != 0;
    if (!anySize) {
        // Nothing but empty reads: one byte each, after an empty one.
        feed(stream.first(0), reads.empty() ? 0 : reads[0]);
        for (std::size_t at = 0; at < stream.size(); ++at)
            feed(stream.subspan(at, 1), reads.empty() ? 0 : reads[at % reads.size()]);
        return;
    }
    for (std::size_t at = 0, k = 0; at < stream.size(); ++k) {
        const std::uint8_t read = reads[k % reads.size()];
        const std::size_t size = std::min<std::size_t>(read & 0x3F, stream.size() - at);
        feed(stream.subspan(at, size), read);
        at += size;
    }
}

void CheckRecords(Bytes stream, Bytes reads) {
    RecordDecoder whole;
    std::vector<std::uint32_t> expected;
    whole.Feed(stream.data(), stream.size(), [&](std::uint32_t word) { expected.push_back(word); });
    CHECK(expected.size() + whole.Dropped() == stream.size() / kRecordSize);
    CHECK(whole.Pending() == stream.size() % kRecordSize);
    // Every word handed out is a well-formed short message, made of one
    // record's bytes, in stream order; every record left out is malformed.
    std::size_t next = 0;
    for (std::size_t r = 0; r < stream.size() / kRecordSize; ++r) {
        const std::uint8_t* record = stream.data() + r * kRecordSize;
        const std::uint32_t word = record[0] | record[1] << 8u | std::uint32_t(record[2]) << 16;
        const std::uint8_t status = record[0];
        bool wellFormed = status >= 0x80 && status != 0xF0 && status != 0xF7;
        for (int d = 1; wellFormed && d < MessageLength(status); ++d)
            wellFormed = record[d] < 0x80;
        if (!wellFormed)
            continue;
        CHECK(next < expected.size());
        CHECK(expected[next] == word);
        ++next;
    }
    CHECK(next == expected.size());
    for (std::uint32_t word : expected) {
        CHECK((word >> 24) == 0);
        CHECK(IsShortMessage(word));
    }

    RecordDecoder pieces;
    std::vector<std::uint32_t> words;
    FeedInReads(stream, reads, [&](Bytes piece, std::uint8_t) {
        pieces.Feed(piece.data(), piece.size(), [&](std::uint32_t word) { words.push_back(word); });
    });
    CHECK(words == expected);
    CHECK(pieces.Pending() == whole.Pending());
}

// The value of a length field as the block defines it: decimal digits up to
// the first other byte.
std::uint64_t LengthOf(const std::string& block) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kLengthFieldSize && block[i] >= '0' && block[i] <= '9'; ++i)
        value = value * 10 + std::uint64_t(block[i] - '0');
    return value;
}

void CheckTake(LayoutReceiver& receiver, std::string& fed) {
    const std::uint64_t length = LengthOf(fed);
    const auto layout = receiver.Take();
    CHECK(layout.has_value());
    CHECK(layout->content.size() == length);
    CHECK(layout->content == fed.substr(kLengthFieldSize, length));
    CHECK(!layout->name.empty());
    CHECK(layout->name == fed.substr(kLengthFieldSize + length));
    CHECK(receiver.Received() == 0);
    CHECK(!receiver.Complete());
    fed.clear();
}

// Feeds the stream as a run of blocks; a read whose byte has the top bit set
// takes the layout (or ends the refused block) when one has passed.
void CheckLayoutReceiver(Bytes stream, Bytes reads) {
    LayoutReceiver receiver;
    std::string fed; // bytes fed since the last Take
    FeedInReads(stream, reads, [&](Bytes piece, std::uint8_t read) {
        receiver.Feed(piece.data(), piece.size());
        fed.append(reinterpret_cast<const char*>(piece.data()), piece.size());
        CHECK(receiver.Received() == fed.size());
        const auto length = receiver.ContentLength();
        CHECK(length.has_value() == (fed.size() >= kLengthFieldSize));
        CHECK(!length || *length == LengthOf(fed));
        const bool refused = length && *length > kMaxLayoutContentSize;
        const bool passed = length && fed.size() > kLengthFieldSize + *length;
        // A refused block keeps nothing but its length field.
        CHECK(receiver.Buffered() == (refused ? kLengthFieldSize : fed.size()));
        const LayoutState expected =
            refused ? (passed ? LayoutState::Refused : LayoutState::Refusing)
                    : (passed ? LayoutState::Complete : LayoutState::Receiving);
        CHECK(receiver.State() == expected);
        CHECK(receiver.Complete() == (expected == LayoutState::Complete));
        if (passed && (read & 0x80)) {
            if (refused) {
                CHECK(!receiver.Take());
                CHECK(receiver.Received() == 0);
                CHECK(receiver.State() == LayoutState::Receiving);
                fed.clear();
            } else {
                CheckTake(receiver, fed);
            }
        } else if (!passed) {
            CHECK(!receiver.Take());
            CHECK(receiver.Received() == fed.size());
        }
    });
    if (receiver.Complete())
        CheckTake(receiver, fed);
}

// A block made by EncodeLayoutBlock from part of the stream comes back whole.
void CheckLayoutRoundTrip(Bytes stream, Bytes reads) {
    const std::size_t split = reads.empty() ? stream.size() / 2 : reads[0] % (stream.size() + 1);
    const std::string content(reinterpret_cast<const char*>(stream.data()), split);
    const std::string name(reinterpret_cast<const char*>(stream.data()) + split,
                           stream.size() - split);
    if (name.empty())
        return;
    const std::string block = EncodeLayoutBlock(content, name);
    CHECK(block.size() == kLengthFieldSize + content.size() + name.size());
    CHECK(LengthOf(block) == content.size());
    LayoutReceiver receiver;
    FeedInReads({reinterpret_cast<const std::uint8_t*>(block.data()), block.size()}, reads,
                [&](Bytes piece, std::uint8_t) { receiver.Feed(piece.data(), piece.size()); });
    const auto layout = receiver.Take();
    CHECK(layout.has_value());
    CHECK(layout->content == content);
    CHECK(layout->name == name);
}

// What a reader hands out, in order.
struct Events {
    std::vector<std::string> out;
    HeldNotes held;
    void Message(std::uint32_t word) {
        CHECK(IsShortMessage(word));
        held.Played(word);
        out.push_back("m" + std::to_string(word));
    }
    void LayoutReceived(Layout&& layout) {
        CHECK(layout.name.size() <= kMaxLayoutNameSize);
        CHECK(!layout.name.empty());
        out.push_back("L" + layout.content + "\n" + layout.name);
    }
    void LayoutRefused(std::uint64_t declared) {
        CHECK(declared > kMaxLayoutContentSize);
        out.push_back("R" + std::to_string(declared));
    }
};

// The app's stream read in any reads gives what one read gives, as long as
// the burst ends in the same place; nothing handed out is malformed, no name
// passes its bound, and what an app leaves held is let go once.
void CheckAppStream(Bytes stream, Bytes reads) {
    for (const bool layouts : {true, false}) {
        AppStreamReader whole(layouts);
        Events expected;
        whole.Feed(stream.data(), stream.size(), expected);
        whole.EndOfBurst(expected);

        AppStreamReader pieces(layouts);
        Events got;
        FeedInReads(stream, reads, [&](Bytes piece, std::uint8_t) {
            pieces.Feed(piece.data(), piece.size(), got);
        });
        pieces.EndOfBurst(got);
        CHECK(got.out == expected.out);
        CHECK(pieces.InLayout() == whole.InLayout());
        CHECK(pieces.Pending() == whole.Pending());
        CHECK(pieces.Dropped() == whole.Dropped());

        const auto released = got.held.Release();
        for (std::uint32_t word : released)
            CHECK(IsShortMessage(word));
        CHECK(got.held.Empty());
        CHECK(got.held.Release().empty());
    }
}

// What a bridge's stream hands an app, MIDI bytes joined.
struct BridgeEvents {
    std::string midi;
    std::vector<std::string> layouts;
    void Midi(const std::uint8_t* bytes, std::size_t size) {
        CHECK(size > 0);
        midi.append(reinterpret_cast<const char*>(bytes), size);
    }
    void LayoutReceived(Layout&& layout) {
        CHECK(layout.name.size() <= kMaxLayoutNameSize);
        layouts.push_back("L" + layout.content + "\n" + layout.name + "@" +
                          std::to_string(midi.size()));
    }
    void LayoutRefused(std::uint64_t declared) {
        CHECK(declared > kMaxLayoutContentSize);
        layouts.push_back("R" + std::to_string(declared));
    }
};

// The bridge's stream to an app, the same: any reads give what one read
// gives, and outside layouts no byte is lost or made up.
void CheckBridgeStream(Bytes stream, Bytes reads) {
    BridgeStreamReader whole;
    BridgeEvents expected;
    whole.Feed(stream.data(), stream.size(), expected);
    whole.EndOfBurst(expected);

    BridgeStreamReader pieces;
    BridgeEvents got;
    FeedInReads(stream, reads,
                [&](Bytes piece, std::uint8_t) { pieces.Feed(piece.data(), piece.size(), got); });
    pieces.EndOfBurst(got);
    CHECK(got.midi == expected.midi);
    CHECK(got.layouts == expected.layouts);
    CHECK(pieces.InLayout() == whole.InLayout());
    CHECK(pieces.HeldMarkerBytes() == whole.HeldMarkerBytes());
    if (!whole.InLayout() && expected.layouts.empty())
        CHECK(expected.midi.size() + whole.HeldMarkerBytes() == stream.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t readCount = std::min<std::size_t>(data[0] % 33, size - 1);
    const Bytes reads(data + 1, readCount);
    const Bytes stream(data + 1 + readCount, size - 1 - readCount);
    CheckRecords(stream, reads);
    CheckAppStream(stream, reads);
    CheckBridgeStream(stream, reads);
    CheckLayoutReceiver(stream, reads);
    CheckLayoutRoundTrip(stream, reads);
    return 0;
}
