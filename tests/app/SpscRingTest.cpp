// The lock-free ring between JACK's process thread and ours: runs of items
// that wrap around its end, whole or not at all, and a writer and a reader
// on two threads.
#include "platform/midi/SpscRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace pallorwind::midi {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Front(const SpscRing<std::uint8_t>& ring, std::size_t n) {
    Bytes bytes(n);
    ring.PeekMany(bytes.data(), n);
    return bytes;
}

TEST(SpscRingTest, RunsWrapAroundTheEndAndGoInWholeOrNotAtAll) {
    SpscRing<std::uint8_t> ring(16);
    const Bytes head{1, 2, 3, 4};
    const Bytes body{5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(ring.PushWhole(head.data(), head.size(), body.data(), body.size()));
    EXPECT_EQ(ring.Size(), 10u);
    EXPECT_EQ(Front(ring, 10), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    ring.Pop(10);

    // Twelve from place 10 of 16: six at the end, six at the start.
    const Bytes more{11, 12, 13, 14, 15, 16, 17, 18};
    ASSERT_TRUE(ring.PushWhole(head.data(), head.size(), more.data(), more.size()));
    EXPECT_EQ(ring.Space(), 4u);
    // Five do not fit in four: nothing of them is written.
    EXPECT_FALSE(ring.PushWhole(head.data(), head.size(), more.data(), 1));
    EXPECT_EQ(ring.Size(), 12u);
    EXPECT_EQ(Front(ring, 12), (Bytes{1, 2, 3, 4, 11, 12, 13, 14, 15, 16, 17, 18}));
    ring.Pop(4);
    EXPECT_EQ(Front(ring, 8), more);

    // Single items fill it up to the last place.
    for (std::uint8_t i = 0; i < 8; ++i)
        ASSERT_TRUE(ring.Push(i)) << int(i);
    EXPECT_TRUE(ring.Full());
    EXPECT_FALSE(ring.Push(99));
    std::uint8_t first = 0;
    ASSERT_TRUE(ring.Peek(first));
    EXPECT_EQ(first, 11);
    ring.Clear();
    EXPECT_EQ(ring.Size(), 0u);
    EXPECT_FALSE(ring.Peek(first));
    EXPECT_EQ(ring.Space(), 16u);
}

// One thread writes packets (a size, then that many bytes counting on), as
// the virtual ports do, and words, as the devices do; another reads them.
// Whatever the interleaving, everything arrives once, whole and in order.
TEST(SpscRingTest, AWriterAndAReaderOnTwoThreadsPassEverythingInOrder) {
    constexpr std::uint32_t kPackets = 20'000;
    SpscRing<std::uint8_t> packets(256);
    SpscRing<std::uint32_t> words(64);
    std::atomic<bool> stop{false}; // a fault may leave the two waiting for each other
    std::thread writer([&] {
        std::uint8_t next = 0;
        for (std::uint32_t n = 0; n < kPackets; ++n) {
            std::uint8_t bytes[40];
            const std::uint8_t size = std::uint8_t(1 + n % 40);
            for (std::uint8_t i = 0; i < size; ++i)
                bytes[i] = next++;
            while (!packets.PushWhole(&size, 1, bytes, size)) {
                if (stop)
                    return;
                std::this_thread::yield();
            }
            while (!words.Push(n)) {
                if (stop)
                    return;
                std::this_thread::yield();
            }
        }
    });
    std::uint8_t expected = 0;
    std::uint32_t packetsRead = 0, wordsRead = 0;
    bool inOrder = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (packetsRead < kPackets || wordsRead < kPackets) {
        std::uint8_t size = 0;
        if (packets.Peek(size) && size != 1 + packetsRead % 40)
            inOrder = false;
        else if (packets.Size() >= 1u + size && size > 0) {
            std::uint8_t bytes[41];
            packets.PeekMany(bytes, 1u + size);
            packets.Pop(1u + size);
            for (std::uint8_t i = 1; i <= size; ++i)
                inOrder &= bytes[i] == expected++;
            ++packetsRead;
        }
        std::uint32_t word = 0;
        if (words.Peek(word)) {
            words.Pop();
            inOrder &= word == wordsRead++;
        }
        if (!inOrder || std::chrono::steady_clock::now() > deadline) {
            inOrder = false;
            break;
        }
    }
    stop = true;
    writer.join();
    EXPECT_TRUE(inOrder) << "at packet " << packetsRead << ", word " << wordsRead;
}

} // namespace
} // namespace pallorwind::midi
