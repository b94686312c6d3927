// The network link on real loopback sockets: ports, sessions, records played
// and the computer's MIDI sent to the apps.
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackApp.h"
#include "tests/support/RecordingCommu.h"
#include "win/net/MidiInProc.h"
#include "win/net/TCPServer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace pallorwind::win;
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
    void Play(std::uint32_t word) {
        MidiInProc(nullptr, MIM_DATA, MidiInInstance(&commu), word, 0);
    }
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

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(char(v));
    return s;
}

} // namespace

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
        ASSERT_TRUE(PumpUntil([&] { return bridge.commu.played.size() == 1; }));
    }
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.disconnects == 1; }));
    PumpFor(200ms);
    EXPECT_EQ(bridge.commu.connects, 1);
    EXPECT_EQ(bridge.commu.disconnects, 1);
    EXPECT_EQ(bridge.commu.played, std::vector<std::uint32_t>{0x007F3C90});
    EXPECT_EQ(bridge.commu.foreignThreadCalls, 0);
}

TEST(Session, RecordsSplitAcrossReadsAreCompletedNeverPadded) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    // A program change padded to three bytes, then a note split 1 + 2 + rest.
    ASSERT_TRUE(app.Send({0xC0, 0x05, 0x00, 0x90}));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.played.size() == 1; }));
    PumpFor(100ms);
    ASSERT_TRUE(app.Send({0x3C}));
    PumpFor(100ms);
    EXPECT_EQ(bridge.commu.played.size(), 1u) << "a record was completed with bytes not received";
    ASSERT_TRUE(app.Send({0x40, 0xFF, 0xFF, 0xFF}));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.played.size() == 3; }));
    EXPECT_EQ(bridge.commu.played,
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
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.played.size() == expected.size(); }));
    EXPECT_EQ(bridge.commu.played, expected);
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
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.played.size() == 2; }));

    bridge.Play(0x00647FB0); // control change
    EXPECT_EQ(first->ReadExactly(3), Bytes({0xB0, 0x7F, 0x64}));
    EXPECT_EQ(second.ReadExactly(3), Bytes({0xB0, 0x7F, 0x64}));

    first.reset();
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.disconnects == 1; }));
    bridge.Play(0x000005C0); // program change: two bytes
    EXPECT_EQ(second.ReadExactly(2), Bytes({0xC0, 0x05}));
    ASSERT_TRUE(second.Send({0x80, 0x02, 0x00}));
    ASSERT_TRUE(PumpUntil([&] { return bridge.commu.played.size() == 3; }));
    EXPECT_EQ(bridge.commu.connects, 2);
    EXPECT_EQ(bridge.commu.disconnects, 1);
}

TEST(Outbound, MessagesAreSentWithTheirOwnLengthOnly) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    bridge.Play(0x00003C90); // note on, velocity 0: three bytes
    bridge.Play(0x000000C0); // program change to 0: two bytes
    bridge.Play(0x000000F8); // timing clock: one byte
    bridge.Play(0x00000000); // not a message: nothing
    MidiInProc(nullptr, 0x3C4 /* long data */, MidiInInstance(&bridge.commu), 0x000000F0, 0);
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
    EXPECT_EQ(app.ReadOnce(), expected);
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

TEST(Outbound, MessagesWithinOneWaitGoOutInOneWriteInOrder) {
    Bridge bridge;
    LoopbackApp app(bridge.port());
    ASSERT_TRUE(bridge.WaitForClients(1));
    PumpFor(120ms); // the send thread is now in its idle wait
    std::string expected;
    for (int i = 0; i < 20; ++i) {
        bridge.Play(0x00500080u | std::uint32_t(i) << 8);
        expected += Bytes({0x80, i, 0x50});
    }
    EXPECT_EQ(app.ReadOnce(), expected);
}

TEST(Outbound, ASlowAppLosesNothingAndDoesNotStallTheMidiThread) {
    Bridge bridge;
    // Room for everything, so any loss is a fault rather than the bound.
    bridge.server().Listener().SetQueueLimit(64u << 20);
    LoopbackApp app(bridge.port(), 4096);
    ASSERT_TRUE(bridge.WaitForClients(1));
    // Far more than the sockets can buffer while the app does not read: the
    // sender meets a full socket and short writes.
    constexpr int kMessages = 1000000;
    std::string expected;
    expected.reserve(kMessages * 3);
    // A queueing call that waited for a send step would wait up to 50 ms once
    // per step while the socket is full; a busy machine may preempt a call or
    // two for as long, but not one per step.
    int slowCalls = 0;
    auto slowest = std::chrono::nanoseconds::zero();
    for (int i = 0; i < kMessages; ++i) {
        const std::uint8_t a = i % 128, b = i / 128 % 128;
        const auto start = std::chrono::steady_clock::now();
        bridge.Play(0xA0u | std::uint32_t(a) << 8 | std::uint32_t(b) << 16);
        const auto took = std::chrono::steady_clock::now() - start;
        slowest = std::max(slowest, took);
        slowCalls += took >= 10ms;
        expected += Bytes({0xA0, a, b});
    }
    EXPECT_LE(slowCalls, 3) << "queueing waited for the network; slowest call "
                            << std::chrono::duration<double, std::milli>(slowest).count() << " ms";
    PumpFor(300ms); // the app still does not read
    const std::string got = app.ReadExactly(expected.size(), 30s);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "bytes lost or out of order";
    EXPECT_EQ(bridge.commu.disconnects, 0);
}

TEST(Teardown, DestroyingTheServerWithAppsConnectedJoinsTheirThreads) {
    auto bridge = std::make_unique<Bridge>();
    LoopbackApp a(bridge->port()), b(bridge->port()), c(bridge->port());
    ASSERT_TRUE(bridge->WaitForClients(3));
    for (int i = 0; i < 1000; ++i)
        bridge->Play(0x00403C90);
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
