#include "protocol/LayoutTransfer.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace pallorwind::protocol
