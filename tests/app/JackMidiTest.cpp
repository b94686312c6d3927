// The MIDI-devices layer on a real JACK server (dummy backend).
#include "JackPeer.h"
#include "JackServer.h"
#include "platform/midi/MidiDevices.h"
#include "tests/support/PrintMidiResult.h"

#include <jack/jack.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace pallorwind::midi {
namespace {

using testing::JackPeer;
using testing::PortsStartingWith;
using testing::TestServer;
using testing::TestServerPid;
using testing::WaitUntil;
using Message = JackPeer::Message;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kClient = "pwtest-bridge";

// What the layer said through its log sink.
struct LogLines {
    void Add(const std::string& line) {
        std::lock_guard guard(lock);
        lines.push_back(line);
    }
    std::vector<std::string> Get() {
        std::lock_guard guard(lock);
        return lines;
    }
    std::mutex lock;
    std::vector<std::string> lines;
};

std::vector<std::string> Names(MidiSystem& system, bool input) {
    std::vector<std::string> names;
    for (const MidiPort& port : input ? system.Inputs() : system.Outputs())
        if (port.query == MidiResult::Ok)
            names.push_back(port.name);
    return names;
}

bool Find(MidiSystem& system, bool input, const std::string& wanted, MidiPortIndex& index) {
    for (const MidiPort& port : input ? system.Inputs() : system.Outputs())
        if (port.query == MidiResult::Ok && port.name == wanted) {
            index = port.index;
            return true;
        }
    return false;
}

bool ClientExists(const std::string& name) {
    jack_client_t* client = jack_client_open("pwtest-lsp", JackNoStartServer, nullptr);
    if (!client)
        return false;
    char* uuid = jack_get_uuid_for_client_name(client, name.c_str());
    jack_free(uuid);
    jack_client_close(client);
    return uuid != nullptr;
}

class JackMidiTest : public ::testing::Test {
protected:
    void SetUp() override { m_system = Create(); }

    std::unique_ptr<MidiSystem> Create() {
        return CreateMidiSystem({kClient, [this](const std::string& line) { m_log.Add(line); }},
                                MidiApi::Jack);
    }

    // Opens by name once the system lists the port: PipeWire's JACK shows
    // another client's new ports a little later.
    std::unique_ptr<MidiOutDevice> OpenOut(const std::string& name) {
        MidiPortIndex index;
        EXPECT_TRUE(WaitUntil([&] { return Find(*m_system, false, name, index); }, 5s)) << name;
        MidiOpened<MidiOutDevice> out = m_system->OpenOut(index);
        EXPECT_EQ(out.result, MidiResult::Ok);
        return std::move(out.device);
    }

    std::unique_ptr<MidiInDevice> OpenIn(const std::string& name, MidiInCallback callback) {
        MidiPortIndex index;
        EXPECT_TRUE(WaitUntil([&] { return Find(*m_system, true, name, index); }, 5s)) << name;
        MidiOpened<MidiInDevice> in = m_system->OpenIn(index, std::move(callback));
        EXPECT_EQ(in.result, MidiResult::Ok);
        if (in.device) {
            EXPECT_EQ(in.device->Start(), MidiResult::Ok);
        }
        return std::move(in.device);
    }

    LogLines m_log;
    std::unique_ptr<MidiSystem> m_system;
};

// Words received by an input device's callback.
struct Words {
    void Add(std::uint32_t word) {
        std::lock_guard guard(lock);
        words.push_back(word);
    }
    std::vector<std::uint32_t> Get() {
        std::lock_guard guard(lock);
        return words;
    }
    std::size_t Size() {
        std::lock_guard guard(lock);
        return words.size();
    }
    std::mutex lock;
    std::vector<std::uint32_t> words;
};

TEST_F(JackMidiTest, OneClientWithPortsInAndOutThatOpeningAddsNothingTo) {
    const std::set<std::string> ours{std::string(kClient) + ":in", std::string(kClient) + ":out"};
    EXPECT_EQ(PortsStartingWith(kClient), ours);
    EXPECT_EQ(m_log.Get(), std::vector<std::string>{"MIDI system: JACK, ports pwtest-bridge:in "
                                                    "and pwtest-bridge:out"});

    JackPeer peer("pwpeer");
    auto out = OpenOut("pwpeer:in");
    auto in = OpenIn("pwpeer-src:out", [](std::uint32_t) {});
    ASSERT_TRUE(out && in);
    // Listing and opening made no client and no port; our own ports are
    // never offered as devices.
    EXPECT_EQ(PortsStartingWith(kClient), ours);
    EXPECT_FALSE(ClientExists(std::string(kClient) + "-01"));
    for (bool input : {true, false})
        for (const std::string& name : Names(*m_system, input))
            EXPECT_FALSE(name.starts_with(kClient)) << name;
    const auto past = MidiPortIndex{unsigned(m_system->Outputs().size())};
    EXPECT_EQ(m_system->OpenOut(past).result, MidiResult::BadDeviceId);
    // One device of each kind at a time: the client has one port of each.
    MidiPortIndex index;
    ASSERT_TRUE(Find(*m_system, false, "pwpeer:in", index));
    const MidiOpened<MidiOutDevice> second = m_system->OpenOut(index);
    EXPECT_EQ(second.result, MidiResult::Allocated);
    EXPECT_FALSE(second.device);

    // The names stay the same across a reopen and a restart of the system.
    out.reset();
    in.reset();
    out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    out.reset();
    m_system.reset();
    EXPECT_TRUE(PortsStartingWith(kClient).empty());
    m_system = Create();
    EXPECT_EQ(PortsStartingWith(kClient), ours);
}

TEST_F(JackMidiTest, OutputSendsOnlyTheBytesTheStatusCallsFor) {
    JackPeer peer("pwpeer");
    auto out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->ShortMsg(0x7F3C90), MidiResult::Ok);
    EXPECT_EQ(out->ShortMsg(0x7705C3), MidiResult::Ok); // program change, junk in the third byte
    EXPECT_EQ(out->ShortMsg(0x1234F8), MidiResult::Ok); // timing clock
    EXPECT_EQ(out->ShortMsg(0x00003C), MidiResult::BadMessage);
    EXPECT_EQ(out->ShortMsg(0x0000F0), MidiResult::BadMessage);
    ASSERT_TRUE(peer.WaitFor(3));
    EXPECT_EQ(peer.Received(), (std::vector<Message>{{0x90, 0x3C, 0x7F}, {0xC3, 0x05}, {0xF8}}));
}

TEST_F(JackMidiTest, InputDeliversShortMessagesInOrderButNoSysExAndNothingAfterClose) {
    JackPeer peer("pwpeer");
    Words words;
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> onCallerThread{false};
    auto in = OpenIn("pwpeer-src:out", [&](std::uint32_t word) {
        onCallerThread = onCallerThread || std::this_thread::get_id() == caller;
        words.Add(word);
    });
    ASSERT_TRUE(in);

    peer.Play({0x90, 0x3C, 0x7F});
    peer.Play({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    peer.Play({0xB1, 0x07, 0x64});
    peer.Play({0xF8});
    peer.Play({0xC2, 0x05});
    peer.Play({0xFE});
    ASSERT_TRUE(WaitUntil([&] { return words.Size() >= 5; })) << words.Size();
    in.reset(); // no callback after this
    const std::size_t atClose = words.Size();
    peer.Play({0x91, 0x3C, 0x7F});
    EXPECT_EQ(words.Get(), (std::vector<std::uint32_t>{0x7F3C90, 0x6407B1, 0xF8, 0x05C2, 0xFE}));
    EXPECT_FALSE(onCallerThread);

    // A device opened next gets only what is played after it opened.
    Words next;
    in = OpenIn("pwpeer-src:out", [&](std::uint32_t word) { next.Add(word); });
    ASSERT_TRUE(in);
    peer.Play({0x92, 0x01, 0x02});
    ASSERT_TRUE(WaitUntil([&] { return next.Size() >= 1; }));
    in.reset();
    EXPECT_EQ(next.Get(), std::vector<std::uint32_t>{0x020192});
    EXPECT_EQ(words.Size(), atClose);
}

TEST_F(JackMidiTest, ADeviceIsFoundByNameAgainAfterItsClientComesBack) {
    auto peer = std::make_unique<JackPeer>("pwpeer");
    auto out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    peer->Close();
    peer.reset();
    out.reset();
    MidiPortIndex index;
    EXPECT_TRUE(WaitUntil([&] { return !Find(*m_system, false, "pwpeer:in", index); }, 5s));

    peer = std::make_unique<JackPeer>("pwpeer");
    out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->ShortMsg(0x7F3C90), MidiResult::Ok);
    ASSERT_TRUE(peer->WaitFor(1));
    EXPECT_EQ(peer->Received(), (std::vector<Message>{{0x90, 0x3C, 0x7F}}));
}

TEST_F(JackMidiTest, AFloodIsPacedNotDropped) {
    JackPeer peer("pwpeer");
    auto out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    // Far more than a JACK port buffer holds in one cycle (about 2,700), and
    // than the layer's ring holds.
    constexpr int kCount = 60000;
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(
            out->ShortMsg(0x80 | std::uint32_t(i & 0x7F) << 8 | std::uint32_t(i >> 7 & 0x7F) << 16),
            MidiResult::Ok);
    // Closing lets everything sent go out first.
    out.reset();
    ASSERT_TRUE(peer.WaitFor(kCount, 1s)) << peer.Count();
    const auto received = peer.Received();
    ASSERT_EQ(received.size(), std::size_t(kCount));
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(received[i], (Message{0x80, std::uint8_t(i & 0x7F), std::uint8_t(i >> 7 & 0x7F)}))
            << i;
    // JACK neither dropped nor complained.
    EXPECT_EQ(m_log.Get().size(), 1u) << m_log.Get().back();
}

TEST_F(JackMidiTest, TheServerGoingAwayAndComingBackIsSurvived) {
    // Whatever happens below, the next tests find a server.
    struct Restart {
        ~Restart() {
            if (::testing::Test::HasFailure() || PortsStartingWith("").empty())
                TestServer("start");
        }
    } restart;
    auto peer = std::make_unique<JackPeer>("pwpeer");
    Words words;
    auto out = OpenOut("pwpeer:in");
    auto in = OpenIn("pwpeer-src:out", [&](std::uint32_t word) { words.Add(word); });
    ASSERT_TRUE(out && in);

    peer.reset();
    ASSERT_EQ(TestServer("stop-server"), 0);
    ASSERT_TRUE(WaitUntil([&] { return m_log.Get().size() >= 2; })) << m_log.Get().back();
    EXPECT_EQ(m_log.Get()[1], "JACK server stopped; MIDI is refused until it is back");
    // Sends fail at once while there is no server.
    const auto t0 = Clock::now();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(out->ShortMsg(0x7F3C90), MidiResult::NotReady);
    EXPECT_LT(Clock::now() - t0, 100ms);

    ASSERT_EQ(TestServer("start"), 0);
    ASSERT_TRUE(WaitUntil([&] { return m_log.Get().size() >= 3; }));
    EXPECT_EQ(m_log.Get()[2], "JACK server is back; ports pwtest-bridge:in and pwtest-bridge:out, "
                              "devices reconnect by name");
    EXPECT_EQ(PortsStartingWith(kClient),
              (std::set<std::string>{"pwtest-bridge:in", "pwtest-bridge:out"}));

    // The synthesizer and the keyboard come back; both directions flow again
    // through the devices opened before. (A server just started on a loaded
    // machine may refuse a client's first activation.)
    ASSERT_TRUE(WaitUntil([&] {
        try {
            peer = std::make_unique<JackPeer>("pwpeer");
            return true;
        } catch (const std::runtime_error&) {
            return false;
        }
    }));
    ASSERT_TRUE(WaitUntil([&] {
        peer->Play({0x90, 0x01, 0x01});
        std::this_thread::sleep_for(10ms);
        return words.Size() > 0;
    }));
    EXPECT_EQ(words.Get().back(), 0x010190u);
    ASSERT_TRUE(WaitUntil([&] {
        if (out->ShortMsg(0x7F3C91) != MidiResult::Ok)
            return false;
        return peer->WaitFor(1, 10ms);
    }));
    EXPECT_EQ(peer->Received().back(), (Message{0x91, 0x3C, 0x7F}));
    EXPECT_EQ(m_log.Get().size(), 3u) << m_log.Get().back();
}

TEST_F(JackMidiTest, AStalledServerFailsSendsFastInsteadOfHoldingTheSender) {
    const pid_t server = TestServerPid();
    ASSERT_GT(server, 0);
    struct Resume {
        pid_t pid;
        ~Resume() {
            kill(pid, SIGCONT);
            if (::testing::Test::HasFailure())
                TestServer("start");
        }
    } resume{server};
    JackPeer peer("pwpeer");
    auto out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);

    ASSERT_EQ(kill(server, SIGSTOP), 0);
    // The layer queues while it can, then waits for a cycle that never comes
    // (about a second), and says so.
    MidiResult result = MidiResult::Ok;
    int queued = 0;
    auto t0 = Clock::now();
    for (; queued < 1'000'000 && result == MidiResult::Ok; ++queued) {
        t0 = Clock::now();
        result = out->ShortMsg(0x7F3C90);
    }
    EXPECT_EQ(result, MidiResult::NotReady);
    EXPECT_GE(Clock::now() - t0, 900ms);
    // From then on a send fails at once until the server runs again.
    t0 = Clock::now();
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(out->ShortMsg(0x7F3C90), MidiResult::NotReady);
    EXPECT_LT(Clock::now() - t0, 100ms);

    ASSERT_EQ(kill(server, SIGCONT), 0);
    EXPECT_TRUE(WaitUntil([&] { return out->ShortMsg(0x7F3C90) == MidiResult::Ok; }));
}

TEST(JackMidiQuietTest, WithoutAServerOneLineSaysSoAndNoServerIsStarted) {
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    const std::string saved = server ? server : "";
    const char* pipewire = std::getenv("PIPEWIRE_RUNTIME_DIR");
    const std::string savedPipeWire = pipewire ? pipewire : "";
    const std::string absent = "pwtest-absent-" + std::to_string(getpid());
    setenv("JACK_DEFAULT_SERVER", absent.c_str(), 1);
    // PipeWire's JACK goes by its runtime folder, not by the server name.
    setenv("PIPEWIRE_RUNTIME_DIR", ("/tmp/" + absent).c_str(), 1);
    unsetenv("JACK_NO_START_SERVER"); // the layer itself must not start one

    // Standard error goes to a file meanwhile.
    std::fflush(stderr);
    char path[] = "/tmp/pwtest-stderr-XXXXXX";
    const int file = mkstemp(path);
    const int saved_stderr = dup(2);
    dup2(file, 2);
    LogLines log;
    {
        auto system = CreateMidiSystem({kClient, [&](const std::string& line) { log.Add(line); }},
                                       MidiApi::Jack);
        EXPECT_TRUE(system->Outputs().empty());
        EXPECT_TRUE(system->Inputs().empty());
        std::this_thread::sleep_for(1200ms); // two looks for a server in the background
    }
    std::fflush(stderr);
    dup2(saved_stderr, 2);
    close(saved_stderr);
    const off_t printed = lseek(file, 0, SEEK_END);
    close(file);
    unlink(path);

    EXPECT_EQ(printed, 0) << "libjack printed on standard error";
    EXPECT_EQ(log.Get(),
              std::vector<std::string>{"No MIDI system found (no JACK server running); MIDI starts "
                                       "when a JACK server does"});
    jack_client_t* client = jack_client_open("pwtest-probe", JackNoStartServer, nullptr);
    EXPECT_EQ(client, nullptr) << "a server was started";
    if (client)
        jack_client_close(client);
    if (server)
        setenv("JACK_DEFAULT_SERVER", saved.c_str(), 1);
    else
        unsetenv("JACK_DEFAULT_SERVER");
    if (pipewire)
        setenv("PIPEWIRE_RUNTIME_DIR", savedPipeWire.c_str(), 1);
    else
        unsetenv("PIPEWIRE_RUNTIME_DIR");
    setenv("JACK_NO_START_SERVER", "1", 1);
}

} // namespace
} // namespace pallorwind::midi
