// What both bridges keep for an app's connection: the writer and its wake-up,
// the bounded queue's two rules, and objects retired inside their notices.
#include "platform/net/AppReader.h"
#include "platform/net/AppWriter.h"
#include "platform/net/Retirer.h"
#include "tests/support/DescriptorFill.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using pallorwind::platform::AppReader;
using pallorwind::platform::AppWriter;
using pallorwind::platform::ReadGate;
using pallorwind::platform::Retirer;
using pallorwind::test::DescriptorFill;
using pallorwind::test::PumpFor;

namespace {

// Two ends of a connection whose buffers are small, so that an app that does
// not read fills them at once.
struct Link {
    Link() {
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds);
        const int small = 4096;
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    ~Link() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    std::string ReadAll() {
        std::string got;
        char buffer[4096];
        for (long n; (n = ::recv(fds[1], buffer, sizeof buffer, 0)) > 0;)
            got.append(buffer, std::size_t(n));
        return got;
    }
    int fds[2] = {-1, -1};
};

// Waits (without an event loop: the writer needs none) until `done` holds.
template <typename Done> bool WaitFor(Done done, std::chrono::milliseconds timeout = 5s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(1ms);
    return done();
}

} // namespace

TEST(AppWriter, StopsAtOnceWhileAnAppDoesNotReadEvenWithoutItsWakeUpPipe) {
    for (const bool pipeless : {false, true}) {
        SCOPED_TRACE(pipeless ? "no wake-up pipe" : "wake-up pipe");
        Link link;
        std::unique_ptr<AppWriter> writer;
        {
            // The system is out of descriptors while the writer is made.
            std::unique_ptr<DescriptorFill> fill;
            if (pipeless)
                fill = std::make_unique<DescriptorFill>();
            writer =
                std::make_unique<AppWriter>(link.fds[0], 1 << 20, AppWriter::Overflow::RefuseNew);
        }
        ASSERT_TRUE(writer->Start());
        ASSERT_TRUE(writer->Write(std::string(256 * 1024, 'x')));
        ASSERT_TRUE(WaitFor([&] { return writer->WaitingForRoom(); }));
        const auto start = std::chrono::steady_clock::now();
        writer.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    }
}

TEST(AppWriter, AFullQueueDropsItsOldestMessagesOrRefusesWholeWritesAsAsked) {
    // Live MIDI: the newest whole messages are kept within the bound.
    {
        Link link;
        AppWriter writer(link.fds[0], 9, AppWriter::Overflow::DropOldest);
        for (int i = 0; i < 5; ++i)
            ASSERT_TRUE(writer.Write(std::string("\x90\x3C") + char(i)));
        ASSERT_TRUE(writer.Write("\xC0\x07"));
        EXPECT_EQ(writer.Pending(), 8u);
        ASSERT_TRUE(writer.Start());
        std::string got;
        ASSERT_TRUE(WaitFor([&] {
            got += link.ReadAll();
            return got.size() == 8;
        }));
        EXPECT_EQ(got, std::string("\x90\x3C\x03\x90\x3C\x04\xC0\x07"));
    }
    // Packets and layouts: what does not fit is refused whole.
    {
        Link link;
        AppWriter writer(link.fds[0], 8, AppWriter::Overflow::RefuseNew);
        EXPECT_TRUE(writer.Write("\xF0\x01\x02\xF7"));
        EXPECT_FALSE(writer.Write("\xF0\x03\x04\x05\xF7"));
        EXPECT_TRUE(writer.Write("ABCDEFGHIJ", 16)); // a larger room for this one
        EXPECT_EQ(writer.Pending(), 14u);
        ASSERT_TRUE(writer.Start());
        std::string got;
        ASSERT_TRUE(WaitFor([&] {
            got += link.ReadAll();
            return got.size() == 14;
        }));
        EXPECT_EQ(got, "\xF0\x01\x02\xF7"
                       "ABCDEFGHIJ");
    }
    // A broken connection is said once, and takes nothing more.
    {
        Link link;
        std::atomic<int> broken{0};
        AppWriter writer(link.fds[0], 64, AppWriter::Overflow::RefuseNew, [&](int) { ++broken; });
        ASSERT_TRUE(writer.Start());
        ::shutdown(link.fds[1], SHUT_RDWR);
        ASSERT_TRUE(writer.Write("\xF8"));
        ASSERT_TRUE(WaitFor([&] { return writer.Broken(); }));
        EXPECT_FALSE(writer.Write("\xF8"));
        EXPECT_EQ(broken, 1);
    }
}

TEST(AppReader, StopsOnceAndNeverTouchesTheDescriptorAfterwards) {
    int first[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, first), 0);
    ReadGate gate;
    std::atomic<int> ended{0};
    std::atomic<std::size_t> gotSize{0};
    std::string got; // the reader's until it has stopped
    auto reader = std::make_unique<AppReader>(
        first[0], 64, gate,
        [&](const std::uint8_t* d, std::size_t n) {
            got.append(d, d + n);
            gotSize = got.size();
        },
        [&](int) { ++ended; });
    ASSERT_TRUE(reader->Start());
    ASSERT_EQ(::write(first[1], "ab", 2), 2);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (gotSize < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    // A reader waiting in its read stops at once, and tells no end.
    reader->Stop();
    EXPECT_EQ(got, "ab");
    EXPECT_EQ(ended, 0);

    // The owner closes the socket; its number goes to another one. The
    // reader going afterwards leaves that one alone.
    ::close(first[0]);
    ::close(first[1]);
    int second[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, second), 0);
    ASSERT_EQ(second[0], first[0]) << "the system gave the number to no other socket";
    reader.reset();
    EXPECT_EQ(::send(second[1], "c", 1, MSG_NOSIGNAL), 1) << "the other socket was shut";
    char c = 0;
    EXPECT_EQ(::recv(second[0], &c, 1, MSG_DONTWAIT), 1) << "the other socket was shut";
    ::close(second[0]);
    ::close(second[1]);
}

namespace {
struct Counted {
    Counted(int& alive, Retirer* retirer = nullptr) : m_alive(alive), m_retirer(retirer) {
        ++m_alive;
    }
    ~Counted() {
        --m_alive;
        // One that retires another as it goes.
        if (m_retirer)
            m_retirer->Retire(std::make_unique<Counted>(m_alive));
    }
    int& m_alive;
    Retirer* m_retirer;
};
} // namespace

TEST(Retirer, EverythingRetiredInOneTurnIsFreedOnTheNext) {
    int alive = 0;
    Retirer retirer;
    retirer.Retire(std::make_unique<Counted>(alive));
    retirer.Retire(std::make_unique<Counted>(alive, &retirer));
    retirer.Retire(std::make_unique<Counted>(alive));
    EXPECT_EQ(alive, 3); // not in the turn that retired them
    PumpFor(20ms);
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(retirer.Count(), 0u);
}
