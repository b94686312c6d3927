// The network link on real loopback sockets: ports, sessions, records played
// and the computer's MIDI sent to the apps.
#include "protocol/MidiMessage.h"
#include "tests/support/DescriptorFill.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackApp.h"
#include "tests/support/RecordingCommu.h"
#include "win/net/MidiInProc.h"
#include "win/net/TCPServer.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace pallorwind::win;
using pallorwind::test::DescriptorFill;
using pallorwind::test::LoopbackApp;
using pallorwind::test::PumpFor;
using pallorwind::test::PumpUntil;
using pallorwind::test::RecordingCommu;

namespace {

struct Bridge {
    RecordingCommu commu;
    explicit Bridge(const std::string& port = "0") {
        commu.SetServer(std::make_unique<TCPServer>(&commu, "", port));
    }
    TCPServer& server() { return *commu.Server(); }
    std::uint16_t port() { return TCPServer::ParsePort(server().Port()); }
    void Play(std::uint32_t word) { MidiInProc(nullptr, MidiInNotice::MIM_DATA, &commu, word, 0); }
    // Waits until the listener serves `n` apps.
    bool WaitForClients(std::size_t n) {
        return PumpUntil([&] { return server().Listener().ClientCount() == n; });
    }
};

int BindLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// listen() as the system has it, except that the next `g_failListens` calls
// fail as when another program started listening on the port just before us.
std::atomic<int> g_failListens{0};

// accept4() as the system has it, except that it fails for want of
// descriptors while `g_acceptsFail` is set.
std::atomic<bool> g_acceptsFail{false};

#if defined(__SANITIZE_ADDRESS__)
// UndefinedBehaviorSanitizer needs a pipe of its own to check a type it has
// not seen before; with no descriptor left it would report a false fault. So
// under the sanitizers the listener's accepts fail as they would.
constexpr bool kRealDescriptorExhaustion = false;
#else
constexpr bool kRealDescriptorExhaustion = true;
#endif

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(char(v));
    return s;
}

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs the event loop for `duration` without waking it on a timer of our own.
void RunEventLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

// A numbered three-byte message: pitch bend, channel and both data bytes
// carry 18 bits of `n`.
std::uint32_t Numbered(int n) {
    return 0xE0u | std::uint32_t(n >> 14 & 0x0F) | std::uint32_t(n & 0x7F) << 8 |
           std::uint32_t(n >> 7 & 0x7F) << 16;
}

} // namespace

extern "C" int listen(int fd, int backlog) {
    using Listen = int (*)(int, int);
    static const auto real = reinterpret_cast<Listen>(::dlsym(RTLD_NEXT, "listen"));
    for (int n = g_failListens.load(); n > 0;)
        if (g_failListens.compare_exchange_weak(n, n - 1)) {
            errno = EADDRINUSE;
            return -1;
        }
    return real(fd, backlog);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// pthread_create() as the system has it, except that it fails for want of
// resources while `g_threadsFail` is set. (The sanitizers have their own.)
std::atomic<bool> g_threadsFail{false};

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*run)(void*),
                              void* arg) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    if (g_threadsFail)
        return EAGAIN;
    return real(thread, attr, run, arg);
}
#endif

extern "C" int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    using Accept4 = int (*)(int, sockaddr*, socklen_t*, int);
    static const auto real = reinterpret_cast<Accept4>(::dlsym(RTLD_NEXT, "accept4"));
    if (g_acceptsFail) {
        errno = EMFILE;
        return -1;
    }
    return real(fd, address, length, flags);
}

TEST(PortText, ReadLikeAtoiModulo65536) {
    EXPECT_EQ(TCPServer::ParsePort("5004"), 5004);
    EXPECT_EQ(TCPServer::ParsePort("  +5004xyz"), 5004);
    EXPECT_EQ(TCPServer::ParsePort("65546"), 10);
    EXPECT_EQ(TCPServer::ParsePort("-1"), 65535);
    EXPECT_EQ(TCPServer::ParsePort("port"), 0);
    EXPECT_EQ(TCPServer::ParsePort(""), 0);
}

TEST(ServerPort, ZeroAndBusyPortsFallBackToASystemPortThatIsReported) {
    Bridge any("0");
    ASSERT_TRUE(any.server().IsListening());
    ASSERT_EQ(any.commu.ports.size(), 1u);
    EXPECT_NE(any.commu.ports[0], "0");
    EXPECT_EQ(any.commu.ports[0], any.server().Port());

    // A second server on the same port finds it taken and takes another.
    const std::uint16_t taken = any.port();
    Bridge second(std::to_string(taken));
    ASSERT_TRUE(second.server().IsListening());
    ASSERT_EQ(second.commu.ports.size(), 1u);
    EXPECT_NE(second.port(), taken);
    EXPECT_NE(second.port(), 0);
    LoopbackApp app(second.port());
    EXPECT_TRUE(app.Connected());
    EXPECT_TRUE(PumpUntil([&] { return second.commu.connects == 1; }));

    // A free port that binds, but another program starts listening on it
    // between our bind and our listen.
    const int probe = BindLoopback(0);
    ASSERT_GE(probe, 0);
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    const std::uint16_t raced = ntohs(address.sin_port);
    g_failListens = 1;
    Bridge third(std::to_string(raced));
    EXPECT_EQ(g_failListens, 0);
    ASSERT_TRUE(third.server().IsListening());
    EXPECT_EQ(third.commu.ports, std::vector<std::string>{third.server().Port()});
    EXPECT_NE(third.port(), raced);
    EXPECT_NE(third.port(), 0);
}

TEST(ServerPort, PortTextAbove65535WrapsAround) {
    // 65546 is port 10, which only a privileged user may bind.
    const int probe = BindLoopback(10);
    if (probe < 0)
        GTEST_SKIP() << "port 10 cannot be bound here (needs root, or is taken)";
    ::close(probe);
    Bridge bridge("65546");
    EXPECT_EQ(bridge.commu.ports, std::vector<std::string>{"10"});
}

TEST(ServerPort, WithoutAnySocketTheUserIsToldAndNoPortIsReportedOrAdvertised) {
    // In a child process whose descriptors are used up, no socket can be made.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool advertised = false;
        RecordingCommu commu;
        // Once normally, so that a sanitizer runtime has what it needs before
        // the descriptors run out.
        std::make_unique<TCPServer>(&commu, "", "0").reset();
        commu.GetUserInterface().MessageBox("warm-up", "");
        commu.ports.clear();
        commu.ui.boxes.clear();
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 64;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        while (::dup(0) >= 0) {
        }
        TCPServer server(&commu, "", "0", [&] {
            advertised = true;
            return MakeNoDiscovery();
        });
        const bool told = commu.ui.boxes.size() == 1 &&
                          commu.ui.boxes[0].second == "PallorwindWin" &&
                          commu.ui.boxes[0].first.find("could not be started") != std::string::npos;
        ::_exit(!server.IsListening() && commu.ports.empty() && !advertised && told ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Session, OneRecordGivesOneConnectOnePlayOneDisconnect) {
    Bridge bridge;
    {
        LoopbackApp app(bridge.port());
        ASSERT_TRUE(bridge.WaitForClients(1));
        ASSERT_TRUE(app.Send({0x90, 0x3C, 0x7F}));
        ASSERT_TRUE(PumpUntil([&] { return bridge.commu.Played().size() == 1; }));
    }
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.disconnects == 1; }));
    PumpFor(200ms);
    EXPECT_EQ(bridge.commu.connects, 1);
    EXPECT_EQ(bridge.commu.disconnects, 1);
    // The note, and its release once the app has gone without one.
    EXPECT_EQ(bridge.commu.Played(), (std::vector<std::uint32_t>{0x007F3C90, 0x00403C80}));
    EXPECT_EQ(bridge.commu.foreignThreadCalls, 0);
}

TEST(Session, RecordsSplitAcrossReadsAreCompletedNeverPadded) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    // A program change padded to three bytes, then a note split 1 + 2 + rest.
    ASSERT_TRUE(app.Send({0xC0, 0x05, 0x00, 0x90}));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.Played().size() == 1; }));
    PumpFor(100ms);
    ASSERT_TRUE(app.Send({0x3C}));
    PumpFor(100ms);
    EXPECT_EQ(bridge.commu.Played().size(), 1u) << "a record was completed with bytes not received";
    ASSERT_TRUE(app.Send({0x40, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.Played().size() == 3; }));
    EXPECT_EQ(bridge.commu.Played(),
              (std::vector<std::uint32_t>{0x000005C0, 0x00403C90, 0x00FFFFFF}));
}

TEST(Session, ABurstOf6000BytesPlaysTwoThousandRecordsInOrder) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    std::vector<std::uint8_t> burst;
    std::vector<std::uint32_t> expected;
    for (int i = 0; i < 2000; ++i) {
        const std::uint8_t note = i % 128, velocity = (i / 128) + 1;
        burst.insert(burst.end(), {0x90, note, velocity});
        expected.push_back(0x90u | note << 8 | std::uint32_t(velocity) << 16);
    }
    ASSERT_TRUE(app.Send(burst));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.Played().size() == expected.size(); }));
    EXPECT_EQ(bridge.commu.Played(), expected);
}

TEST(Session, AnAppClosingItsSideEndsTheSessionAtOnce) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    // Only half closed, and nothing is queued for it: no write will ever fail,
    // so the zero-byte read alone must end the session.
    app.ShutdownWrite();
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.disconnects == 1; }, 2s));
    EXPECT_EQ(bridge.server().Listener().ClientCount(), 0u);
    EXPECT_TRUE(app.WaitForEnd());
}

TEST(Session, AResetConnectionWhileMidiFlowsIsOneDisconnect) {
    Bridge bridge;
    auto app = std::make_unique<LoopbackApp>(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    bridge.Play(0x00403C90);
    ASSERT_EQ(app->ReadExactly(3).size(), 3u);
    app->Abort();
    for (int i = 0; i < 200; ++i) {
        bridge.Play(0x00403C90);
        PumpFor(1ms);
    }
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.disconnects >= 1; }));
    PumpFor(200ms);
    EXPECT_EQ(bridge.commu.connects, 1);
    EXPECT_EQ(bridge.commu.disconnects, 1);
    EXPECT_EQ(bridge.commu.foreignThreadCalls, 0);
}

TEST(Sessions, TwoAppsArePlayedAndFedAndOneLeavingSparesTheOther) {
    Bridge bridge;
    auto first = std::make_unique<LoopbackApp>(bridge.port());
    LoopbackApp second(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(2));
    ASSERT_TRUE(first->Send({0x90, 0x01, 0x01}));
    ASSERT_TRUE(second.Send({0x90, 0x02, 0x02}));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.Played().size() == 2; }));

    bridge.Play(0x00647FB0); // control change
    EXPECT_EQ(first->ReadExactly(3), Bytes({0xB0, 0x7F, 0x64}));
    EXPECT_EQ(second.ReadExactly(3), Bytes({0xB0, 0x7F, 0x64}));

    // The first goes, and its note with it; the second plays on.
    first.reset();
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.disconnects == 1; }));
    bridge.Play(0x000005C0); // program change: two bytes
    EXPECT_EQ(second.ReadExactly(2), Bytes({0xC0, 0x05}));
    ASSERT_TRUE(second.Send({0x80, 0x02, 0x00}));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.Played().size() == 4; }));
    const auto played = bridge.commu.Played();
    EXPECT_EQ(played[2], 0x400180u) << "the first app's note was not let go";
    EXPECT_EQ(played[3], 0x000280u);
    EXPECT_EQ(bridge.commu.connects, 2);
    EXPECT_EQ(bridge.commu.disconnects, 1);
}

TEST(Sessions, AnAppThatGoesLetsGoOfWhatItHeldAndOnlyThat) {
    Bridge bridge;
    auto first = std::make_unique<LoopbackApp>(bridge.port());
    LoopbackApp second(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(2));
    // The first holds C4 and the sustain pedal; E4 it let go itself.
    ASSERT_TRUE(
        first->Send({0x90, 0x3C, 0x7F, 0x90, 0x40, 0x50, 0x80, 0x40, 0x00, 0xB0, 0x40, 0x7F}));
    // The second holds A4 on channel 2.
    ASSERT_TRUE(second.Send({0x91, 0x45, 0x60}));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.Played().size() == 5; }));

    first.reset();
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.disconnects == 1; }));
    const auto played = bridge.commu.Played();
    EXPECT_EQ(std::vector<std::uint32_t>(played.begin() + 5, played.end()),
              (std::vector<std::uint32_t>{0x403C80, 0x0040B0}));

    // A new server (a name or port change) drops the second: its note goes.
    bridge.commu.SetServer(std::make_unique<TCPServer>(&bridge.commu, "", "0"));
    ASSERT_EQ(bridge.commu.Played().size(), 8u);
    EXPECT_EQ(bridge.commu.Played().back(), 0x404581u);
    EXPECT_TRUE(second.WaitForEnd());
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(Sessions, AnAppWhoseSendThreadCannotStartIsToldAndClosedNotServedHalf) {
    Bridge bridge;
    // No thread can be made while the app is accepted.
    g_threadsFail = true;
    LoopbackApp app(bridge.port());
    const bool told = PumpUntil([&] { return !bridge.commu.ui.boxes.empty(); }, 5s);
    g_threadsFail = false;
    ASSERT_TRUE(told);
    EXPECT_EQ(
        bridge.commu.ui.boxes[0].first.rfind("Create thread sendSocket fail, error code: ", 0), 0u);
    EXPECT_TRUE(app.WaitForEnd());
    EXPECT_EQ(bridge.commu.connects, 0);
    EXPECT_EQ(bridge.server().Listener().ClientCount(), 0u);
    // The next app is served as usual.
    LoopbackApp next(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    EXPECT_EQ(bridge.commu.connects, 1);
}
#endif

TEST(Outbound, MessagesAreSentWithTheirOwnLengthOnly) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    bridge.Play(0x00003C90); // note on, velocity 0: three bytes
    bridge.Play(0x000000C0); // program change to 0: two bytes
    bridge.Play(0x000000F8); // timing clock: one byte
    bridge.Play(0x00000000); // not a message: nothing
    MidiInProc(nullptr, MidiInNotice::MIM_LONGDATA, &bridge.commu, 0x000000F0, 0);
    EXPECT_EQ(app.ReadExactly(6, 2s), Bytes({0x90, 0x3C, 0x00, 0xC0, 0x00, 0xF8}));
    EXPECT_EQ(app.ReadOnce(300ms), "");
}

TEST(Outbound, BacklogPlayedBeforeAnyAppArrivesInOneWrite) {
    Bridge bridge;
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        bridge.Play(0x00400090u | std::uint32_t(i) << 8);
        expected += Bytes({0x90, i, 0x40});
    }
    LoopbackApp app(bridge.port());
    EXPECT_EQ(app.ReadExactly(expected.size()), expected);
    EXPECT_EQ(bridge.server().Listener().WriteCount(), 1u);
}

TEST(Outbound, TheBacklogKeepsTheNewestWholeMessagesWithinItsBound) {
    Bridge bridge;
    // Messages of one, two and three bytes, numbered so order can be checked.
    std::string all;
    for (int i = 0; all.size() < 3 * CListenSocket::kQueueLimit; ++i) {
        bridge.Play(0x000000F8);
        bridge.Play(0x000000C0u | std::uint32_t(i % 128) << 8);
        bridge.Play(0x00000090u | std::uint32_t(i % 128) << 8 | std::uint32_t(i / 128 % 128) << 16);
        all += Bytes({0xF8, 0xC0, i % 128, 0x90, i % 128, i / 128 % 128});
    }
    const std::size_t kept = bridge.server().Listener().BacklogSize();
    EXPECT_LE(kept, CListenSocket::kQueueLimit);
    EXPECT_GT(kept, CListenSocket::kQueueLimit - 3);
    LoopbackApp app(bridge.port());
    const std::string got = app.ReadExactly(kept);
    ASSERT_EQ(got.size(), kept);
    EXPECT_EQ(got, all.substr(all.size() - kept));
    EXPECT_GE(std::uint8_t(got[0]), 0x80) << "the backlog must start with a status byte";
}

TEST(Outbound, MessagesThatArriveTogetherGoOutInOneWriteInOrder) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    std::vector<std::uint32_t> burst;
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        burst.push_back(0x00500080u | std::uint32_t(i) << 8);
        expected += Bytes({0x80, i, 0x50});
    }
    bridge.server().Listener().AddMidiData(burst);
    EXPECT_EQ(app.ReadExactly(expected.size()), expected);
    EXPECT_EQ(bridge.server().Listener().WriteCount(), 1u);
}

TEST(Outbound, EachMessageGoesOutAsSoonAsItIsQueued) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    // The send thread sleeps between messages; a sender that polled the
    // queue every 50 ms would take 25 ms on average.
    std::vector<double> ms;
    for (int i = 0; i < 21; ++i) {
        const auto start = std::chrono::steady_clock::now();
        bridge.Play(0x000000F8);
        pollfd p{app.Fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        char byte = 0;
        ASSERT_EQ(::recv(app.Fd(), &byte, 1, 0), 1);
        EXPECT_EQ(std::uint8_t(byte), 0xF8);
    }
    std::nth_element(ms.begin(), ms.begin() + 10, ms.end());
    EXPECT_LT(ms[10], 10.0) << "median milliseconds from queueing to the app";
}

TEST(Outbound, AnAppThatStartsReadingLateGetsLittleStaleMidiAndOnlyWholeMessages) {
    Bridge bridge;
    constexpr std::size_t kQueue = 4096;
    constexpr int kReceiveBuffer = 4096;
    LoopbackApp app(bridge.port(), kReceiveBuffer);
    ASSERT_TRUE(bridge.WaitForClients(1));
    // First the app reads briskly for a while, as apps do; the system would
    // grow the bridge's socket buffer with that traffic.
    constexpr std::size_t kWarmUp = 600000;
    bridge.server().Listener().SetQueueLimit(kWarmUp);
    for (std::size_t i = 0; i < kWarmUp / 3; ++i)
        bridge.Play(0x00403C90);
    ASSERT_EQ(app.ReadExactly(kWarmUp).size(), kWarmUp);
    // Then it stops reading, while far more MIDI is played than the queue and
    // both sockets hold, at a pace the send thread keeps up with: each burst
    // is written before the next, until the socket is full.
    CListenSocket& listener = bridge.server().Listener();
    listener.SetQueueLimit(kQueue);
    constexpr int kMessages = 1 << 18, kBurst = 1024;
    for (int i = 0; i < kMessages; i += kBurst) {
        const auto writes = listener.WriteCount();
        for (int j = i; j < i + kBurst; ++j)
            bridge.Play(Numbered(j));
        while (listener.WriteCount() == writes && listener.SendersWaitingForRoom() == 0)
            std::this_thread::yield();
    }
    // Now the app reads, until the last message.
    std::string got;
    std::string last;
    pallorwind::protocol::AppendShortMessage(last, Numbered(kMessages - 1));
    ASSERT_TRUE(PumpUntil([&] {
        got += app.ReadOnce(10ms);
        return got.size() >= 3 && got.compare(got.size() - 3, 3, last) == 0;
    }));
    // Whole messages only, in order: the oldest, which filled the sockets
    // before the app stopped reading, then the newest that the queue kept.
    ASSERT_EQ(got.size() % 3, 0u);
    int previous = -1;
    for (std::size_t at = 0; at < got.size(); at += 3) {
        const auto status = std::uint8_t(got[at]), low = std::uint8_t(got[at + 1]),
                   high = std::uint8_t(got[at + 2]);
        ASSERT_EQ(status & 0xF0, 0xE0) << "not the start of a message at byte " << at;
        ASSERT_LT(low, 0x80);
        ASSERT_LT(high, 0x80);
        const int n = (status & 0x0F) << 14 | high << 7 | low;
        ASSERT_GT(n, previous) << "out of order at byte " << at;
        previous = n;
    }
    // No more than the queue and the two socket buffers (which the system
    // may double) can hold: the app is soon back to what is played now.
    const std::size_t held = 2 * kQueue + 4 * (CListenSocket::kSendBuffer + kReceiveBuffer);
    EXPECT_LE(got.size(), held) << "the app had " << got.size() / 3 << " of " << kMessages
                                << " messages to read before the newest";
}

TEST(Outbound, ASlowAppLosesNothingAndNeverHoldsUpTheMidiThread) {
    Bridge bridge;
    CListenSocket& listener = bridge.server().Listener();
    // Room for everything, so any loss is a fault rather than the bound.
    listener.SetQueueLimit(64u << 20);
    LoopbackApp app(bridge.port(), 4096);
    ASSERT_TRUE(bridge.WaitForClients(1));
    constexpr int kMessages = 300000;
    std::string expected;
    for (int i = 0; i < kMessages; ++i)
        pallorwind::protocol::AppendShortMessage(expected, Numbered(i));
    // Queued on a thread of its own, as the MIDI input's: first more than
    // the sockets hold, so that the send thread gets stuck on the full socket
    // inside its send-socket lock; then the rest, every call of which must
    // return while the writer cannot move.
    constexpr int kFill = 100000;
    std::atomic<bool> stuck{false}, queued{false};
    std::thread midi([&] {
        for (int i = 0; i < kFill; ++i)
            bridge.Play(Numbered(i));
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (listener.SendersWaitingForRoom() == 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::yield();
        stuck = listener.SendersWaitingForRoom() == 1;
        for (int i = kFill; i < kMessages; ++i)
            bridge.Play(Numbered(i));
        queued = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return queued.load(); }, 30s))
        << "queueing waited for the send thread";
    EXPECT_TRUE(stuck) << "the send thread never waited for room";
    // Only now the app reads (which would also free a queueing call that waits).
    const std::string got = app.ReadExactly(expected.size(), 60s);
    midi.join();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes lost or out of order";
    EXPECT_EQ(bridge.commu.disconnects, 0);
}

TEST(Accepting, RunningOutOfDescriptorsRestsTheListenerAndServesAppsAfterwards) {
    Bridge bridge;
    // Connected by the system, but the bridge cannot take them in yet.
    LoopbackApp first(bridge.port()), second(bridge.port());
    ASSERT_TRUE(first.Connected() && second.Connected());
    {
        std::unique_ptr<DescriptorFill> fill;
        if (kRealDescriptorExhaustion) {
            fill = std::make_unique<DescriptorFill>();
            ASSERT_EQ(fill->Error(), EMFILE);
        } else {
            g_acceptsFail = true;
        }
        const double before = ProcessCpuSeconds();
        RunEventLoopFor(1s);
        const double used = ProcessCpuSeconds() - before;
        fill.reset();
        g_acceptsFail = false;
        // Resting costs a few retries; spinning takes a core, or what a busy
        // machine leaves of one.
        EXPECT_LT(used, 0.05) << "CPU seconds spent while the connections waited";
        EXPECT_EQ(bridge.commu.connects, 0);
    }
    // Descriptors again: the waiting apps are served, and so is a new one.
    ASSERT_TRUE(bridge.WaitForClients(2));
    LoopbackApp third(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(3));
    ASSERT_TRUE(third.Send({0x90, 0x3C, 0x7F}));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.Played().size() == 1; }));
    bridge.Play(0x000000F8);
    EXPECT_EQ(first.ReadExactly(1), Bytes({0xF8}));
    EXPECT_EQ(third.ReadExactly(1), Bytes({0xF8}));
    EXPECT_EQ(bridge.commu.connects, 3);
}

TEST(Accepting, AppsBeyondTheMostServedAtOnceAreClosedAtOnceWithOneLogLine) {
    Bridge bridge;
    bridge.server().Listener().SetMaxClients(2);
    pallorwind::test::LogCapture captured;
    // Twenty apps connect together before the bridge takes any in: the queue
    // of pending connections holds them all, none waits for the system's
    // retry a second later.
    std::vector<std::unique_ptr<LoopbackApp>> apps;
    for (int i = 0; i < 20; ++i)
        apps.push_back(std::make_unique<LoopbackApp>(bridge.port(), 0, false));
    const auto deadline = std::chrono::steady_clock::now() + 900ms;
    for (std::size_t i = 0; i < apps.size(); ++i) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        EXPECT_TRUE(apps[i]->WaitConnected(std::max(left, 0ms))) << "app " << i << " waits";
    }

    ASSERT_TRUE(bridge.WaitForClients(2));
    for (std::size_t i = 2; i < apps.size(); ++i)
        EXPECT_TRUE(apps[i]->WaitForEnd()) << "app " << i << " was not closed";
    const std::string log = captured.Text();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("refusing"), std::string::npos) << log;
    EXPECT_EQ(bridge.commu.connects, 2);
    EXPECT_EQ(bridge.commu.disconnects, 0);

    // The first two are served; once one leaves, a new app is too.
    bridge.Play(0x000000F8);
    EXPECT_EQ(apps[1]->ReadExactly(1), Bytes({0xF8}));
    apps[0].reset();
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.disconnects == 1; }));
    LoopbackApp late(bridge.port());
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.connects == 3; }));
    bridge.Play(0x000000FA);
    EXPECT_EQ(late.ReadExactly(1), Bytes({0xFA}));
}

TEST(Teardown, DestroyingTheServerWithAppsConnectedJoinsTheirThreads) {
    auto bridge = std::make_unique<Bridge>();
    // Small receive buffers that none of them reads: every send thread ends
    // up waiting for room.
    LoopbackApp a(bridge->port(), 4096), b(bridge->port(), 4096), c(bridge->port(), 4096);
    ASSERT_TRUE(bridge->WaitForClients(3));
    bridge->server().Listener().SetQueueLimit(8u << 20);
    for (int i = 0; i < 200000; ++i)
        bridge->Play(0x00403C90);
    ASSERT_TRUE(
        PumpUntil([&] { return bridge->server().Listener().SendersWaitingForRoom() == 3; }));
    const auto start = std::chrono::steady_clock::now();
    bridge->commu.DeleteServer();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(bridge->commu.disconnects, 0) << "teardown reports no disconnects";
    EXPECT_TRUE(a.WaitForEnd());
    EXPECT_TRUE(b.WaitForEnd());
    EXPECT_TRUE(c.WaitForEnd());
    PumpFor(100ms); // nothing posted by a send thread may run now
    bridge.reset();
}

TEST(Sessions, WhileReadingIsPausedNothingMoreIsReadAndTheServerStillGoesAtOnce) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    const auto played = [&](std::uint32_t word) {
        const auto all = bridge.commu.Played();
        return std::count(all.begin(), all.end(), word);
    };
    // The MIDI output is full. A read already waiting for the app may still
    // bring its next record; after that, what it sends stays in its socket.
    bridge.commu.gate.Pause(true);
    ASSERT_TRUE(app.Send({0x90, 0x3C, 0x7F}));
    PumpFor(100ms);
    ASSERT_TRUE(app.Send({0x90, 0x40, 0x7F}));
    PumpFor(200ms);
    EXPECT_EQ(played(0x7F4090), 0) << "read while reading was paused";
    bridge.commu.gate.Pause(false);
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.Played().size() == 2; }));

    // Paused again, the server goes (a name change): its reader, waiting at
    // the gate, goes at once; what was not read is not played, and the notes
    // the app holds are let go.
    bridge.commu.gate.Pause(true);
    ASSERT_TRUE(app.Send({0x90, 0x43, 0x7F}));
    PumpFor(100ms);
    ASSERT_TRUE(app.Send({0x90, 0x48, 0x7F}));
    PumpFor(50ms);
    const auto started = std::chrono::steady_clock::now();
    bridge.commu.DeleteServer();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    EXPECT_EQ(played(0x7F4890), 0) << "read while reading was paused";
    for (const std::uint32_t note : {0x3Cu, 0x40u, 0x43u})
        EXPECT_EQ(played(0x90 | note << 8 | 0x7F << 16), played(0x80 | note << 8 | 0x40 << 16))
            << "note " << note << " left on";
    EXPECT_TRUE(app.WaitForEnd());
}
