#include "protocol/LayoutTransfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace pallorwind::protocol {
namespace {

using namespace std::string_literals;

const std::uint8_t* Bytes(const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

TEST(LayoutBlock, LengthFieldIsDecimalPaddedWithZeroBytes) {
    EXPECT_EQ(EncodeLengthField(0), "0"s + std::string(15, '\0'));
    EXPECT_EQ(EncodeLengthField(1234), "1234"s + std::string(12, '\0'));
    EXPECT_EQ(EncodeLengthField(1234).size(), kLengthFieldSize);
    EXPECT_EQ(LayoutMarker(), "\xFF\xFF\xFF"s);

    EXPECT_EQ(DecodeLengthField(Bytes(EncodeLengthField(0))), 0u);
    EXPECT_EQ(DecodeLengthField(Bytes(EncodeLengthField(1234))), 1234u);
    EXPECT_EQ(DecodeLengthField(Bytes("9999999999999999"s)), 9999999999999999u);
}

TEST(LayoutBlock, LengthFieldStopsAtTheFirstNonDigit) {
    // Digits after the end of the number are not part of it.
    EXPECT_EQ(DecodeLengthField(Bytes("12"s + '\0' + "34" + std::string(11, '\0'))), 12u);
    EXPECT_EQ(DecodeLengthField(Bytes("12a4"s + std::string(12, '0'))), 12u);
    EXPECT_EQ(DecodeLengthField(Bytes("12 4"s + std::string(12, '\0'))), 12u);
    EXPECT_EQ(DecodeLengthField(Bytes("/1"s + std::string(14, '\0'))), 0u);
    EXPECT_EQ(DecodeLengthField(Bytes(":1"s + std::string(14, '\0'))), 0u);
    EXPECT_EQ(DecodeLengthField(Bytes(std::string(16, '\0'))), 0u);
}

struct Case {
    std::string content;
    std::string name;
};

// Content that looks like more length digits, holds zero bytes and markers.
const Case kCases[] = {
    {"", "empty.layout"},
    {"987\0\xFF\xFF\xFF<layout/>"s, "d"},
    {std::string(1234, 'x'), "Drum pads \xC3\xA9"},
};

TEST(LayoutReceiver, BlockInOnePiece) {
    for (const Case& c : kCases) {
        LayoutReceiver receiver;
        receiver.Feed(EncodeLayoutBlock(c.content, c.name));
        ASSERT_TRUE(receiver.Complete()) << c.name;
        EXPECT_EQ(receiver.ContentLength(), c.content.size());
        const auto layout = receiver.Take();
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->content, c.content);
        EXPECT_EQ(layout->name, c.name);
        // Taking empties the receiver for the next layout.
        EXPECT_EQ(receiver.Received(), 0u);
        EXPECT_FALSE(receiver.Complete());
        EXPECT_FALSE(receiver.Take());
    }
}

TEST(LayoutReceiver, BlockOneByteAtATime) {
    for (const Case& c : kCases) {
        const std::string block = EncodeLayoutBlock(c.content, c.name);
        const std::size_t firstNameByte = kLengthFieldSize + c.content.size();
        LayoutReceiver receiver;
        for (std::size_t i = 0; i < block.size(); ++i) {
            // Until the length field is whole its value is unknown; the block
            // is complete only once a byte of the name is here.
            EXPECT_EQ(receiver.ContentLength().has_value(), i >= kLengthFieldSize) << i;
            EXPECT_EQ(receiver.Complete(), i > firstNameByte) << i;
            receiver.Feed(block.substr(i, 1));
        }
        const auto layout = receiver.Take();
        ASSERT_TRUE(layout) << c.name;
        EXPECT_EQ(layout->content, c.content);
        EXPECT_EQ(layout->name, c.name);
    }
}

TEST(LayoutReceiver, IncompleteBlocksAreNotReported) {
    const std::string block = EncodeLayoutBlock("<layout/>", "pads");
    const std::size_t withoutName = kLengthFieldSize + 9;
    for (std::size_t size :
         {std::size_t(0), kLengthFieldSize - 1, kLengthFieldSize, withoutName - 1, withoutName}) {
        LayoutReceiver receiver;
        receiver.Feed(block.substr(0, size));
        EXPECT_FALSE(receiver.Complete()) << size;
        EXPECT_FALSE(receiver.Take()) << size;
        // A refused Take keeps what has arrived.
        EXPECT_EQ(receiver.Received(), size);
        receiver.Feed(block.substr(size));
        const auto layout = receiver.Take();
        ASSERT_TRUE(layout) << size;
        EXPECT_EQ(layout->content, "<layout/>");
        EXPECT_EQ(layout->name, "pads");
    }
}

TEST(LayoutReceiver, LengthsAboveTheCapAreRefusedUnbufferedAndFollowedToTheirEnd) {
    // Up to the cap the content is kept as it arrives.
    {
        LayoutReceiver receiver;
        receiver.Feed(EncodeLengthField(kMaxLayoutContentSize) + std::string(4096, 'c'));
        EXPECT_EQ(receiver.State(), LayoutState::Receiving);
        EXPECT_EQ(receiver.Buffered(), kLengthFieldSize + 4096);
    }
    const std::string kNext = EncodeLayoutBlock("<layout/>", "pads");
    for (const std::uint64_t length :
         {kMaxLayoutContentSize + 1, std::uint64_t(9999999999999999)}) {
        LayoutReceiver receiver;
        // The length field with the first content bytes in one read: nothing
        // past the field is kept.
        receiver.Feed(EncodeLengthField(std::size_t(length)) + std::string(4096, '\x90'));
        EXPECT_EQ(receiver.State(), LayoutState::Refusing) << length;
        EXPECT_EQ(receiver.Buffered(), kLengthFieldSize);
        EXPECT_EQ(receiver.Received(), kLengthFieldSize + 4096);
        EXPECT_FALSE(receiver.Take());
        EXPECT_EQ(receiver.Received(), kLengthFieldSize + 4096);
        if (length > kMaxLayoutContentSize + 1)
            continue; // never ends; the connection's end resets it
        // The rest of the content passes unkept; one byte of name ends it.
        const std::string piece(1 << 20, '\x90');
        for (std::uint64_t left = length - 4096; left > 0;) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(left, piece.size()));
            receiver.Feed(std::string_view(piece).substr(0, n));
            left -= n;
            ASSERT_EQ(receiver.State(), LayoutState::Refusing);
        }
        EXPECT_EQ(receiver.Buffered(), kLengthFieldSize);
        receiver.Feed("big.layout");
        EXPECT_EQ(receiver.State(), LayoutState::Refused);
        EXPECT_FALSE(receiver.Complete());
        // Taking ends the refused block and gives nothing; the next block is
        // received as usual.
        EXPECT_FALSE(receiver.Take());
        EXPECT_EQ(receiver.Received(), 0u);
        EXPECT_EQ(receiver.State(), LayoutState::Receiving);
        receiver.Feed(kNext);
        const auto layout = receiver.Take();
        ASSERT_TRUE(layout);
        EXPECT_EQ(layout->content, "<layout/>");
        EXPECT_EQ(layout->name, "pads");
    }
}

} // namespace
} // namespace pallorwind::protocol
