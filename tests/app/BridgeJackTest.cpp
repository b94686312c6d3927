// The whole bridge on a real JACK server (dummy backend): apps on loopback
// sockets, a JACK client as the synthesizer and the keyboard.
#include "BridgeTestSupport.h"
#include "JackPeer.h"
#include "JackServer.h"
#include "platform/midi/MidiDevices.h"
#include "tests/support/HeadlessShell.h"
#include "tests/support/MemorySettingsStore.h"
#include "tests/support/ThreadWakeups.h"
#include "win/app/CPallorwindOSXDlg.h"

#include <jack/jack.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace pallorwind::win {
namespace {

// How long the event loop's 5 ms timer may go between ticks, nine times in
// ten, while MIDI floods in: a loop that waits for the MIDI system misses
// whole JACK cycles and more. Instrumented builds run everything several
// times slower, the timer included; ThreadSanitizer most of all.
// The longest gap allowed is a preempted loop's on a busy shared machine.
#if defined(__SANITIZE_THREAD__)
constexpr double kLoopGapP90Ms = 40.0;
constexpr double kLoopGapMaxMs = 1000.0;
#elif defined(__SANITIZE_ADDRESS__)
constexpr double kLoopGapP90Ms = 20.0;
constexpr double kLoopGapMaxMs = 500.0;
#else
constexpr double kLoopGapP90Ms = 9.0;
constexpr double kLoopGapMaxMs = 250.0;
#endif

using testing::AppClient;
using testing::Clock;
using testing::JackPeer;
using testing::SpinUntil;
using Message = JackPeer::Message;
using namespace std::chrono_literals;

// Lines of the test server's log that tell of MIDI events it lost.
std::vector<QByteArray> LostEventLines() {
    std::vector<QByteArray> lines;
    const char* path = std::getenv("PALLORWIND_JACK_LOG");
    QFile log(path ? path : "");
    if (!log.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QByteArray lower = line.toLower();
        if (lower.contains("lost") || lower.contains("reserveevent") || lower.contains("drop"))
            lines.push_back(line);
    }
    return lines;
}

// Cycles the test server ran late ("XRun" lines of its log). JACK without
// real-time scheduling on an overloaded machine runs late, and a late cycle
// can lose MIDI inside JACK, whatever the bridge does.
int LateCycles() {
    const char* path = std::getenv("PALLORWIND_JACK_LOG");
    QFile log(path ? path : "");
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    return int(log.readAll().count("XRun"));
}

class BridgeJackTest : public ::testing::Test {
protected:
    void SetUp() override {
        NewPeer();
        m_settings.values = {{kSettingOutMidiPort, "pwsynth:in"},
                             {kSettingInMidiPort, "pwsynth-src:out"}};
    }
    // The synthesizer's client, once the bridge's MIDI system sees its ports
    // (PipeWire's JACK shows another client's new ports a little later).
    void NewPeer() {
        m_peer = std::make_unique<JackPeer>("pwsynth");
        const auto lists = [](const midi::MidiPortList& ports, const std::string& name) {
            return std::any_of(ports.begin(), ports.end(),
                               [&](const midi::MidiPort& port) { return port.name == name; });
        };
        EXPECT_TRUE(SpinUntil([&] {
            return lists(m_midi->Outputs(), "pwsynth:in") &&
                   lists(m_midi->Inputs(), "pwsynth-src:out");
        }));
    }
    void TearDown() override {
        m_controller.reset();
        m_peer.reset();
    }

    void StartBridge() {
        m_controller = std::make_unique<CPallorwindOSXDlg>(
            m_settings, *m_midi, m_ui, m_shell.Parts(), test::HeadlessOptions("pc"));
        m_controller->Start();
        // The devices open on the MIDI thread; their results come back here.
        EXPECT_TRUE(SpinUntil([&] { return !m_controller->Ports().Busy(); }));
    }
    std::uint16_t Port() const { return std::uint16_t(std::stoi(m_controller->Port())); }
    std::unique_ptr<AppClient> Connect(int expectedClients = 1) {
        auto app = std::make_unique<AppClient>(Port());
        EXPECT_TRUE(app->Connected());
        EXPECT_TRUE(SpinUntil([&] { return m_controller->Clients() == expectedClients; }));
        return app;
    }

    std::unique_ptr<JackPeer> m_peer;
    // What the MIDI layer said beyond its first line (the system it found).
    std::vector<std::string> MidiComplaints() {
        std::lock_guard guard(m_midiLogLock);
        return {m_midiLog.begin() + std::min<std::size_t>(1, m_midiLog.size()), m_midiLog.end()};
    }

    std::mutex m_midiLogLock;
    std::vector<std::string> m_midiLog;
    std::unique_ptr<midi::MidiSystem> m_midi =
        midi::CreateMidiSystem({"pallorwind-win",
                                [this](const std::string& line) {
                                    std::lock_guard guard(m_midiLogLock);
                                    m_midiLog.push_back(line);
                                }},
                               midi::MidiApi::Jack);
    MemorySettingsStore m_settings;
    testing::RecordingUi m_ui;
    test::HeadlessShell m_shell{m_ui};
    std::unique_ptr<CPallorwindOSXDlg> m_controller;
};

TEST_F(BridgeJackTest, AppRecordsReachTheJackClientWithTheirOwnLength) {
    StartBridge();
    EXPECT_TRUE(m_ui.boxes.empty());
    auto app = Connect();
    ASSERT_TRUE(app->Send({0x90, 0x3C, 0x7F}));
    ASSERT_TRUE(SpinUntil([&] { return m_peer->Count() >= 1; }));
    ASSERT_TRUE(app->Send({0xC0, 0x05, 0x00}));
    ASSERT_TRUE(SpinUntil([&] { return m_peer->Count() >= 2; }));
    EXPECT_EQ(m_peer->Received(), (std::vector<Message>{{0x90, 0x3C, 0x7F}, {0xC0, 0x05}}));
}

TEST_F(BridgeJackTest, NotesAnAppLeftHeldAreLetGoWithinATenthOfASecondAndAtExit) {
    StartBridge();
    auto app = Connect();
    ASSERT_TRUE(app->Send({0x90, 0x3C, 0x7F, 0xB0, 0x40, 0x7F}));
    ASSERT_TRUE(SpinUntil([&] { return m_peer->Count() >= 2; }));

    // The app goes without letting go: the synthesizer hears the releases.
    const auto gone = std::chrono::steady_clock::now();
    app.reset();
    ASSERT_TRUE(SpinUntil([&] { return m_peer->Count() >= 4; }));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - gone).count();
    std::printf("figure: releases heard %.1f ms after the app closed\n", ms);
    EXPECT_LT(ms, 100.0);
    auto received = m_peer->Received();
    EXPECT_EQ(std::vector<Message>(received.begin() + 2, received.end()),
              (std::vector<Message>{{0x80, 0x3C, 0x40}, {0xB0, 0x40, 0x00}}));

    // "Exit" with an app holding a note: released before the output closes.
    auto second = Connect();
    ASSERT_TRUE(second->Send({0x91, 0x45, 0x60}));
    ASSERT_TRUE(SpinUntil([&] { return m_peer->Count() >= 5; }));
    m_controller->OnCommand(kIdExit);
    ASSERT_TRUE(SpinUntil([&] { return m_peer->Count() >= 6; }));
    EXPECT_EQ(m_peer->Received().back(), (Message{0x81, 0x45, 0x40}));
}

TEST_F(BridgeJackTest, JackInputReachesTheAppWholeAndInOrderWithoutSysEx) {
    StartBridge();
    auto app = Connect();
    m_peer->Play({0x90, 0x3C, 0x7F});
    m_peer->Play({0xB0, 0x07, 0x64});
    m_peer->Play({0xF8});
    m_peer->Play({0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    m_peer->Play({0x80, 0x3C, 0x00}); // marks the end: all before it has arrived
    ASSERT_TRUE(SpinUntil([&] { return app->ReceivedSize() >= 10; })) << app->ReceivedSize();
    EXPECT_EQ(app->Received(), (std::vector<std::uint8_t>{0x90, 0x3C, 0x7F, 0xB0, 0x07, 0x64, 0xF8,
                                                          0x80, 0x3C, 0x00}));
}

TEST_F(BridgeJackTest, ADevicePickedByNameIsFoundAgainAfterItsClientComesBack) {
    m_settings.values.clear(); // first start: "None" is chosen
    StartBridge();
    const platform::Menu& outputs = *m_controller->Ports().OutputList();
    const auto it =
        std::find_if(outputs.Items().begin(), outputs.Items().end(),
                     [](const platform::MenuItem& item) { return item.text == "pwsynth:in"; });
    ASSERT_NE(it, outputs.Items().end());
    m_controller->Ports().SelectPort(it->id);
    EXPECT_EQ(m_settings.values[kSettingOutMidiPort], "pwsynth:in");
    ASSERT_TRUE(SpinUntil([&] { return !m_controller->Ports().Busy(); }));
    ASSERT_TRUE(m_controller->Ports().OutputOpen());

    // The synthesizer goes away and comes back; the next start finds it by
    // the stored name.
    m_controller.reset();
    m_peer.reset();
    NewPeer();
    m_ui.boxes.clear();
    StartBridge();
    EXPECT_TRUE(m_controller->Ports().OutputOpen());
    auto app = Connect();
    ASSERT_TRUE(app->Send({0x90, 0x40, 0x50}));
    ASSERT_TRUE(SpinUntil([&] { return m_peer->Count() >= 1; }));
    EXPECT_EQ(m_peer->Received(), (std::vector<Message>{{0x90, 0x40, 0x50}}));
}

// The k-th record of a flood: a note-off whose status and data bytes count k
// (18 bits, so a wrap cannot hide a loss of less than 262,144 records).
std::array<std::uint8_t, 3> FloodRecord(std::uint32_t k) {
    return {std::uint8_t(0x80 | (k >> 14 & 0x0F)), std::uint8_t(k & 0x7F),
            std::uint8_t(k >> 7 & 0x7F)};
}

TEST_F(BridgeJackTest, AnAppPlayingGoesStraightToJackWithoutWakingTheOutputThread) {
    StartBridge();
    auto app = Connect();
    // Opening the devices ran on the output thread; what it does from here
    // on is counted.
    const long before = test::WakeUpsOf("midi-out");
    ASSERT_GT(before, 0) << "no output thread found by its name";
    // 2,000 records in 200 writes, as a busy controller sends them: far
    // less than JACK's own buffer holds, so nothing ever waits for room.
    constexpr std::uint32_t kRecords = 2000;
    for (std::uint32_t k = 0; k < kRecords; k += 10) {
        std::vector<std::uint8_t> write;
        for (std::uint32_t i = k; i < k + 10; ++i) {
            const auto record = FloodRecord(i);
            write.insert(write.end(), record.begin(), record.end());
        }
        ASSERT_TRUE(app->Send(write));
        SpinUntil([] { return false; }, 1ms);
    }
    ASSERT_TRUE(SpinUntil([&] { return m_peer->Count() >= kRecords; }));
    const long wakeUps = test::WakeUpsOf("midi-out") - before;
    std::printf("figure: the output thread woke %ld times for %u records in 200 writes\n", wakeUps,
                kRecords);
    // A thread that carries each read to JACK wakes 200 times or more here.
    EXPECT_LE(wakeUps, 5);
    EXPECT_FALSE(m_controller->ReadingPaused());
    const auto received = m_peer->Received();
    for (std::uint32_t k = 0; k < kRecords; ++k) {
        const auto want = FloodRecord(k);
        ASSERT_EQ(received[k], Message(want.begin(), want.end())) << "record " << k;
    }
}

TEST_F(BridgeJackTest, AFloodLosesNothingAndDoesNotStallTheOtherApps) {
    StartBridge();
    const int lateBefore = LateCycles();
    auto flooder = Connect(1);
    auto other = Connect(2);

    // The flooding app writes as fast as TCP takes it for two seconds.
    std::atomic<bool> flooding{true};
    std::atomic<std::uint32_t> flooded{0};
    std::thread flood([&] {
        std::vector<std::uint8_t> chunk;
        std::uint32_t k = 0;
        const auto end = Clock::now() + 2s;
        while (Clock::now() < end) {
            chunk.clear();
            for (int i = 0; i < 2000; ++i) {
                const auto record = FloodRecord(k++);
                chunk.insert(chunk.end(), record.begin(), record.end());
            }
            if (!flooder->Send(chunk))
                break;
            flooded = k;
        }
        flooding = false;
    });
    // Meanwhile another app plays a note and the keyboard plays one, every 20 ms.
    std::vector<Clock::time_point> otherSent, keysSent;
    std::uint8_t key = 0;
    QTimer tick;
    tick.start(1);
    testing::LoopGapMeter loop;
    loop.Start();
    while (flooding) {
        if (otherSent.empty() || Clock::now() - otherSent.back() >= 20ms) {
            ASSERT_TRUE(other->Send({0x9F, std::uint8_t(key & 0x7F), 0x01}));
            m_peer->Play({0x9E, std::uint8_t(key & 0x7F), 0x01});
            otherSent.push_back(Clock::now());
            keysSent.push_back(otherSent.back());
            ++key;
        }
        other->ReceivedSize(); // the keyboard's notes, read as they come
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    loop.Stop();
    flood.join();
    std::printf("event loop during the flood: %zu ticks, gaps p50 %.1f ms, p90 %.1f ms, "
                "max %.1f ms\n",
                loop.Ticks(), loop.PercentileMs(0.5), loop.PercentileMs(0.9), loop.MaxMs());
    // The loop answers throughout: a 5 ms timer keeps its pace. (A loop that
    // waits for JACK's cycles while playing lets half its ticks wait 10 ms.)
    // A busy shared machine may still preempt the loop now and then.
    EXPECT_LT(loop.PercentileMs(0.9), kLoopGapP90Ms);
    EXPECT_LT(loop.MaxMs(), kLoopGapMaxMs);
    const std::size_t total = flooded + otherSent.size();
    // Everything arrives unless JACK itself lost some; then the count stops
    // short, and stops growing.
    std::size_t seen = 0;
    auto lastGrowth = Clock::now();
    SpinUntil(
        [&] {
            other->ReceivedSize(); // the keyboard's last notes, read as they come
            const std::size_t now = m_peer->Count();
            if (now != seen) {
                seen = now;
                lastGrowth = Clock::now();
            }
            return now >= total || Clock::now() - lastGrowth > 5s;
        },
        120s);
    const int lateCycles = LateCycles() - lateBefore;

    // Every flood record arrived once, in order; so did the other app's notes.
    // A record is known by its number (18 bits), so a gap shows as a jump.
    const auto received = m_peer->Received();
    const auto times = m_peer->ArrivalTimes();
    std::uint32_t nextFlood = 0;
    std::size_t nextOther = 0, lostFlood = 0, lostOther = 0, lostRuns = 0, longestLostRun = 0;
    Clock::duration worstOther{};
    for (std::size_t i = 0; i < received.size(); ++i) {
        const Message& m = received[i];
        ASSERT_EQ(m.size(), 3u) << "message " << i;
        if (m[0] == 0x9F) {
            const std::size_t skipped = (m[1] - nextOther) & 0x7F;
            ASSERT_LT(nextOther + skipped, otherSent.size()) << "other app's note " << nextOther;
            lostOther += skipped;
            nextOther += skipped;
            worstOther = std::max(worstOther, times[i] - otherSent[nextOther]);
            ++nextOther;
            continue;
        }
        ASSERT_EQ(m[0] & 0xF0, 0x80) << "message " << i;
        const std::uint32_t number = std::uint32_t(m[0] & 0x0F) << 14 | m[2] << 7 | m[1];
        const std::uint32_t skipped = (number - nextFlood) & 0x3FFFF;
        ASSERT_LT(skipped, 10000u)
            << "flood record " << nextFlood << ": a long run lost, or out of order";
        if (skipped > 0) {
            std::printf("flood records %u to %u did not arrive\n", nextFlood,
                        nextFlood + skipped - 1);
            ++lostRuns;
            longestLostRun = std::max<std::size_t>(longestLostRun, skipped);
        }
        lostFlood += skipped;
        nextFlood += skipped + 1;
    }
    lostFlood += flooded.load() - nextFlood;
    lostOther += otherSent.size() - nextOther;
    EXPECT_TRUE(LostEventLines().empty()) << LostEventLines().front().toStdString();
    // PipeWire drops the MIDI of a cycle that one of its clients missed, and
    // says so neither in its log nor to the clients (seen on a loaded machine:
    // records 56,819 to 58,140 of 1,374,000, one cycle's worth). There a few
    // runs of one cycle at most may go; a bridge that hands the server more
    // than it takes still loses far more.
    const char* server = std::getenv("PALLORWIND_TEST_SERVER");
    const bool onPipeWire = server && std::string_view(server) == "pipewire";
    if (lateCycles == 0 && onPipeWire && lostFlood > 0) {
        std::printf("PipeWire dropped %zu runs of records, the longest %zu\n", lostRuns,
                    longestLostRun);
        EXPECT_LE(lostRuns, 3u);
        EXPECT_LE(longestLostRun, 3000u);
        EXPECT_LE(lostOther, lostRuns); // a note of the other app's in a dropped cycle
    } else if (lateCycles == 0) {
        EXPECT_EQ(MidiComplaints(), std::vector<std::string>{});
        EXPECT_EQ(lostFlood, 0u);
        EXPECT_EQ(lostOther, 0u);
    } else {
        // A bridge that hands JACK more than it takes loses a tenth of a flood
        // or more; a late cycle loses at most what one cycle carried (a port
        // buffer holds about 2,700).
        EXPECT_LE(lostFlood + lostOther, 3000u * std::size_t(lateCycles));
        std::printf("JACK ran %d cycles late during the flood; %zu records lost inside it\n",
                    lateCycles, lostFlood + lostOther);
        for (const std::string& line : MidiComplaints())
            std::printf("MIDI layer: %s\n", line.c_str());
    }
    const bool allKeys =
        SpinUntil([&] { return other->ReceivedSize() >= 3 * keysSent.size(); }, 30s);
    EXPECT_TRUE(allKeys || lateCycles > 0) << "the keyboard's notes did not all reach the app";

    // The keyboard's notes reached both apps, in order, while the flood ran.
    const auto& keys = other->Messages();
    ASSERT_LE(keys.size(), keysSent.size());
    Clock::duration worstKeys{};
    std::size_t nextKey = 0;
    for (const auto& key : keys) {
        ASSERT_EQ(key.bytes[0], 0x9E);
        nextKey += (key.bytes[1] - nextKey) & 0x7F; // a note JACK lost, if any
        ASSERT_LT(nextKey, keysSent.size());
        worstKeys = std::max(worstKeys, key.arrival - keysSent[nextKey]);
        ++nextKey;
    }
    // A stalled bridge would hold them for the whole flood (2 s).
    EXPECT_LT(worstOther, 1s);
    EXPECT_LT(worstKeys, 1s);
    std::printf("flood: %u records in 2 s (%.0f/s); other app worst %.1f ms, keys worst %.1f ms\n",
                flooded.load(), flooded.load() / 2.0,
                std::chrono::duration<double, std::milli>(worstOther).count(),
                std::chrono::duration<double, std::milli>(worstKeys).count());
}

TEST_F(BridgeJackTest, AStalledJackServerCostsTheLoopNothingPausesTheAppAndPlaysItAllAfterwards) {
    StartBridge();
    ASSERT_TRUE(m_controller->Ports().OutputOpen());
    auto app = Connect();
    const pid_t jackd = testing::TestServerPid();
    ASSERT_GT(jackd, 0);
    struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{jackd};

    // More than the MIDI layer's own buffer (32K messages), the output queue
    // and one read take together, sent while JACK stands.
    constexpr std::uint32_t kRecords = 48000;
    std::vector<std::uint8_t> records;
    for (std::uint32_t k = 0; k < kRecords; ++k) {
        const auto record = FloodRecord(k);
        records.insert(records.end(), record.begin(), record.end());
    }
    testing::LoopGapMeter loop;
    loop.Start();
    ASSERT_EQ(::kill(jackd, SIGSTOP), 0);
    const auto stopped = Clock::now();
    ASSERT_TRUE(app->Send(records));
    app.reset(); // and leaves
    // The output thread waits for JACK; the loop ticks on and stops reading
    // the app, so the queue holds no more than its high-water mark and one
    // read. (The RtMidi output gives up after 1 s of a stalled server, so the
    // stall ends well before that.)
    const bool paused = SpinUntil([&] { return m_controller->ReadingPaused(); }, 400ms);
    SpinUntil([&] { return Clock::now() - stopped >= 500ms; }, 1s);
    const std::size_t queued = m_controller->Ports().QueuedMessages();
    const int clients = m_controller->Clients();
    loop.Stop();
    ASSERT_EQ(::kill(jackd, SIGCONT), 0);
    std::printf("event loop while JACK stood: %zu ticks, gaps p90 %.1f ms, max %.1f ms\n",
                loop.Ticks(), loop.PercentileMs(0.9), loop.MaxMs());
    EXPECT_TRUE(paused);
    EXPECT_LE(queued, midi::MidiOutThread::kHighWater + 2000);
    EXPECT_EQ(clients, 1) << "a paused app's records were all read";
    // (A loop that waits for JACK waits here up to the output's 1 s.)
    EXPECT_LT(loop.PercentileMs(0.9), kLoopGapP90Ms);
    EXPECT_LT(loop.MaxMs(), kLoopGapMaxMs);

    // JACK runs again: reading resumes and every record plays, in order.
    ASSERT_TRUE(SpinUntil([&] { return m_peer->Count() >= kRecords; }, 60s))
        << m_peer->Count() << " of " << kRecords;
    const auto received = m_peer->Received();
    for (std::uint32_t k = 0; k < kRecords; ++k) {
        const auto want = FloodRecord(k);
        ASSERT_EQ(received[k], Message(want.begin(), want.end())) << "record " << k;
    }
    // Its leaving is noticed once its records are read.
    EXPECT_TRUE(SpinUntil([&] { return m_controller->Clients() == 0; }, 5s));
    EXPECT_FALSE(m_controller->ReadingPaused());
}

} // namespace
} // namespace pallorwind::win
