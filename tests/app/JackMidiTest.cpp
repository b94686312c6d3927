// The MIDI-devices layer on a real JACK server (dummy backend).
#include "JackPeer.h"
#include "platform/midi/MidiDevices.h"

#include <jack/jack.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace pallorwind::midi {
namespace {

using testing::JackPeer;
using Message = JackPeer::Message;

std::atomic<int> g_jackErrors{0};

std::vector<std::string> Names(MidiSystem& system, bool input) {
    std::vector<std::string> names;
    const unsigned n = input ? system.InCount() : system.OutCount();
    for (unsigned i = 0; i < n; ++i) {
        std::string name;
        if ((input ? system.InName(i, name) : system.OutName(i, name)) == kMidiOk)
            names.push_back(name);
    }
    return names;
}

bool Find(MidiSystem& system, bool input, const std::string& wanted, unsigned& index) {
    const auto names = Names(system, input);
    const auto it = std::find(names.begin(), names.end(), wanted);
    index = unsigned(it - names.begin());
    return it != names.end();
}

class JackMidiTest : public ::testing::Test {
protected:
    void SetUp() override {
        jack_set_error_function([](const char*) { ++g_jackErrors; });
        g_jackErrors = 0;
        m_system = CreateMidiSystem(MidiApi::Jack);
    }

    std::unique_ptr<MidiOutDevice> OpenOut(const std::string& name) {
        unsigned index = 0;
        EXPECT_TRUE(Find(*m_system, false, name, index)) << name;
        std::unique_ptr<MidiOutDevice> out;
        EXPECT_EQ(m_system->OpenOut(index, out), kMidiOk);
        return out;
    }

    std::unique_ptr<MidiSystem> m_system;
};

TEST_F(JackMidiTest, DevicesAreTheOtherClientsPortsNeverOurOwn) {
    JackPeer peer("pwpeer");
    auto out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    std::unique_ptr<MidiInDevice> in;
    unsigned index = 0;
    ASSERT_TRUE(Find(*m_system, true, "pwpeer-src:out", index));
    ASSERT_EQ(m_system->OpenIn(
                  index, [](std::uint32_t) {}, in),
              kMidiOk);

    // Our own open ports exist now, but are not offered as devices.
    for (bool input : {true, false})
        for (const std::string& name : Names(*m_system, input))
            EXPECT_FALSE(name.starts_with("pallorwind-win")) << name;
    std::string name;
    EXPECT_EQ(m_system->OutName(99, name), kMidiBadDeviceId);
}

TEST_F(JackMidiTest, OutputSendsOnlyTheBytesTheStatusCallsFor) {
    JackPeer peer("pwpeer");
    auto out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->ShortMsg(0x7F3C90), kMidiOk);
    EXPECT_EQ(out->ShortMsg(0x7705C3), kMidiOk); // program change, junk in the third byte
    EXPECT_EQ(out->ShortMsg(0x1234F8), kMidiOk); // timing clock
    EXPECT_EQ(out->ShortMsg(0x00003C), kMidiBadMessage);
    EXPECT_EQ(out->ShortMsg(0x0000F0), kMidiBadMessage);
    ASSERT_TRUE(peer.WaitFor(3));
    EXPECT_EQ(peer.Received(), (std::vector<Message>{{0x90, 0x3C, 0x7F}, {0xC3, 0x05}, {0xF8}}));
}

TEST_F(JackMidiTest, InputDeliversShortMessagesInOrderButNoSysEx) {
    JackPeer peer("pwpeer");
    std::mutex lock;
    std::vector<std::uint32_t> words;
    std::unique_ptr<MidiInDevice> in;
    unsigned index = 0;
    ASSERT_TRUE(Find(*m_system, true, "pwpeer-src:out", index));
    ASSERT_EQ(m_system->OpenIn(
                  index,
                  [&](std::uint32_t word) {
                      std::lock_guard guard(lock);
                      words.push_back(word);
                  },
                  in),
              kMidiOk);
    ASSERT_EQ(in->Start(), kMidiOk);

    peer.Play({0x90, 0x3C, 0x7F});
    peer.Play({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    peer.Play({0xB1, 0x07, 0x64});
    peer.Play({0xF8});
    peer.Play({0xC2, 0x05});
    peer.Play({0xFE});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        {
            std::lock_guard guard(lock);
            if (words.size() >= 5 || std::chrono::steady_clock::now() > deadline)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    in.reset(); // no callback after this
    EXPECT_EQ(words, (std::vector<std::uint32_t>{0x7F3C90, 0x6407B1, 0xF8, 0x05C2, 0xFE}));
}

TEST_F(JackMidiTest, ADeviceIsFoundByNameAgainAfterItsClientComesBack) {
    auto peer = std::make_unique<JackPeer>("pwpeer");
    auto out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    peer->Close();
    peer.reset();
    out.reset();
    unsigned index = 0;
    EXPECT_FALSE(Find(*m_system, false, "pwpeer:in", index));

    peer = std::make_unique<JackPeer>("pwpeer");
    out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->ShortMsg(0x7F3C90), kMidiOk);
    ASSERT_TRUE(peer->WaitFor(1));
    EXPECT_EQ(peer->Received(), (std::vector<Message>{{0x90, 0x3C, 0x7F}}));
}

TEST_F(JackMidiTest, AFloodIsPacedNotDropped) {
    JackPeer peer("pwpeer");
    auto out = OpenOut("pwpeer:in");
    ASSERT_TRUE(out);
    // Far more than a JACK port buffer holds in one cycle (about 2,700).
    constexpr int kCount = 60000;
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(
            out->ShortMsg(0x80 | std::uint32_t(i & 0x7F) << 8 | std::uint32_t(i >> 7 & 0x7F) << 16),
            kMidiOk);
    ASSERT_TRUE(peer.WaitFor(kCount)) << peer.Count();
    const auto received = peer.Received();
    ASSERT_EQ(received.size(), std::size_t(kCount));
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(received[i], (Message{0x80, std::uint8_t(i & 0x7F), std::uint8_t(i >> 7 & 0x7F)}))
            << i;
    EXPECT_EQ(g_jackErrors.load(), 0);
}

} // namespace
} // namespace pallorwind::midi
