// A program's own virtual MIDI ports on a real JACK server (dummy backend),
// and on the ALSA sequencer where the machine has one.
#include "platform/midi/VirtualMidiPorts.h"
#include "JackPeer.h"
#include "JackServer.h"
#include "tests/support/PrintMidiResult.h"

#include <jack/jack.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace pallorwind::midi {
namespace {

using testing::JackPeer;
using testing::Patch;
using testing::PortsStartingWith;
using testing::TestServer;
using testing::WaitUntil;
using Message = JackPeer::Message;
using namespace std::chrono_literals;

constexpr const char* kClient = "pwtest-virtual";

// What the receiver got, one packet an entry.
struct Packets {
    void Add(const std::uint8_t* bytes, std::size_t size) {
        std::lock_guard guard(lock);
        packets.emplace_back(bytes, bytes + size);
    }
    std::vector<Message> Get() {
        std::lock_guard guard(lock);
        return packets;
    }
    std::mutex lock;
    std::vector<Message> packets;
};

class VirtualPortsJackTest : public ::testing::Test {
protected:
    std::unique_ptr<VirtualMidiPorts> Create(const std::string& name) {
        return m_system->Create(
            name, [this](const std::uint8_t* bytes, std::size_t size) { m_got.Add(bytes, size); });
    }
    std::set<std::string> Ours() { return PortsStartingWith(std::string(kClient) + ":"); }

    std::unique_ptr<VirtualMidiSystem> m_system = CreateVirtualMidiSystem(
        {kClient, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }},
        MidiApi::Jack);
    Packets m_got;
};

TEST_F(VirtualPortsJackTest, PortsCarryNotesAndSysExBothWaysUnchanged) {
    auto ports = Create("Pallorwind Studio");
    ASSERT_TRUE(ports);
    EXPECT_EQ(Ours(), (std::set<std::string>{"pwtest-virtual:Pallorwind Studio in",
                                             "pwtest-virtual:Pallorwind Studio out"}));
    JackPeer peer("pwvpeer");
    ASSERT_TRUE(Patch("pwtest-virtual:Pallorwind Studio out", "pwvpeer:in"));
    ASSERT_TRUE(Patch("pwvpeer-src:out", "pwtest-virtual:Pallorwind Studio in"));

    const std::vector<Message> sent{
        {0x90, 0x3C, 0x7F}, {0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7}, {0xF8}, {0xB0, 0x07}};
    for (const Message& m : sent)
        ASSERT_EQ(ports->Send(m.data(), m.size()), MidiResult::Ok);
    ASSERT_TRUE(peer.WaitFor(sent.size()));
    EXPECT_EQ(peer.Received(), sent);

    for (const Message& m : sent)
        peer.Play(m);
    ASSERT_TRUE(WaitUntil([&] { return m_got.Get().size() >= sent.size(); }));
    EXPECT_EQ(m_got.Get(), sent);
    EXPECT_EQ(ports->Send(nullptr, 0), MidiResult::BadMessage);
}

TEST_F(VirtualPortsJackTest, ARenameReplacesThePortsAndOnlyOneSetLivesAtATime) {
    auto ports = Create("Pallorwind");
    ASSERT_TRUE(ports);
    EXPECT_FALSE(Create("Pallorwind Two")) << "a second set beside the first";
    ports.reset();
    EXPECT_TRUE(Ours().empty());
    ports = Create("Pallorwind B:2");
    ASSERT_TRUE(ports);
    EXPECT_EQ(Ours(), (std::set<std::string>{"pwtest-virtual:Pallorwind B-2 in",
                                             "pwtest-virtual:Pallorwind B-2 out"}));
    // Nothing from before the rename reaches the new receiver.
    EXPECT_TRUE(m_got.Get().empty());
}

TEST_F(VirtualPortsJackTest, AfterAServerRestartThePortsComeBackUnderTheirNames) {
    struct Restart {
        ~Restart() {
            if (::testing::Test::HasFailure() || PortsStartingWith("").empty())
                TestServer("start");
        }
    } restart;
    auto ports = Create("Pallorwind");
    ASSERT_TRUE(ports);
    const std::set<std::string> names = Ours();
    ASSERT_EQ(TestServer("stop-server"), 0);
    ASSERT_TRUE(
        WaitUntil([&] { return ports->Send((const std::uint8_t*)"\xF8", 1) != MidiResult::Ok; }));
    ASSERT_EQ(TestServer("start"), 0);
    ASSERT_TRUE(WaitUntil([&] { return Ours() == names; }));
    JackPeer peer("pwvpeer");
    ASSERT_TRUE(Patch("pwtest-virtual:Pallorwind out", "pwvpeer:in"));
    // Sent again until heard: a loaded machine may take a while to make the
    // new client's links live after a restart.
    const std::uint8_t note[] = {0x91, 0x40, 0x01};
    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_EQ(ports->Send(note, sizeof note), MidiResult::Ok);
        return peer.WaitFor(1, 50ms);
    }));
    EXPECT_EQ(peer.Received().back(), (Message{0x91, 0x40, 0x01}));
}

TEST(VirtualPortsAlsaTest, PortsAppearOnTheSequencer) {
    if (access("/dev/snd/seq", R_OK | W_OK) != 0)
        GTEST_SKIP() << "no ALSA sequencer on this machine";
    auto system = CreateVirtualMidiSystem({kClient, nullptr}, MidiApi::Alsa);
    auto ports = system->Create("Pallorwind", [](const std::uint8_t*, std::size_t) {});
    ASSERT_TRUE(ports);
    const std::uint8_t note[] = {0x90, 0x3C, 0x7F};
    EXPECT_EQ(ports->Send(note, sizeof note), MidiResult::Ok);
}

} // namespace
} // namespace pallorwind::midi
