// The MIDI port lists, opening and choosing devices, and playing the app's
// messages, on a MIDI system in memory; the test thread is the main thread.
#include "win/app/MidiPorts.h"
#include "tests/support/FakeMidiSystem.h"
#include "tests/support/ManualPoster.h"
#include "tests/support/MemorySettingsStore.h"
#include "tests/support/RecordingUi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pallorwind::win {
namespace {

using midi::FakeMidiSystem;
using namespace std::chrono_literals;
using Events = std::vector<std::string>;

using test::RecordingUi;

// (id, text, enabled, checked) of every item of a list, for whole-list checks.
struct Row {
    int id;
    std::string text;
    bool enabled;
    bool checked;
    bool operator==(const Row&) const = default;
};
void PrintTo(const Row& r, std::ostream* os) {
    *os << "{" << r.id << " \"" << r.text << "\"" << (r.enabled ? "" : " grayed")
        << (r.checked ? " checked" : "") << "}";
}
std::vector<Row> Rows(const platform::Menu& menu) {
    std::vector<Row> rows;
    for (const platform::MenuItem& item : menu.Items())
        rows.push_back({item.id, item.text, item.enabled, item.checked});
    return rows;
}

class MidiPortsTest : public ::testing::Test {
protected:
    void SetUp() override { m_system.log->mainThread = std::this_thread::get_id(); }
    // Nothing opened, closed or played on the main thread: it never waits.
    void TearDown() override { EXPECT_EQ(m_system.log->mainThreadCalls, 0); }

    // A tray menu with the thirteen items that come before the lists' places.
    void Build(std::string in, std::string out) {
        for (int i = 0; i < 13; ++i)
            m_tray.Append(40000 + i, "item " + std::to_string(i));
        m_ports.SetPortNames(std::move(in), std::move(out));
        m_ports.BuildPortLists(m_tray);
    }

    // Opens and waits for the result, running what comes back on this thread.
    bool OpenIn(const std::string& name) {
        std::optional<bool> result;
        m_ports.OpenInPort(name, [&](bool ok) { result = ok; });
        EXPECT_TRUE(m_main.RunUntil([&] { return result.has_value(); }));
        return result.value_or(false);
    }
    bool OpenOut(const std::string& name) {
        std::optional<bool> result;
        m_ports.OpenOutPort(name, [&](bool ok) { result = ok; });
        EXPECT_TRUE(m_main.RunUntil([&] { return result.has_value(); }));
        return result.value_or(false);
    }
    void Choose(int id) {
        m_ports.SelectPort(id);
        EXPECT_TRUE(m_main.RunUntil([&] { return !m_ports.Busy(); }));
    }
    bool Played(std::size_t count) {
        return m_main.RunUntil([&] { return m_system.log->SentCount() >= count; });
    }

    test::ManualPoster m_main; // before the ports: their thread posts to it
    FakeMidiSystem m_system;
    MemorySettingsStore m_settings;
    RecordingUi m_ui;
    std::vector<std::uint32_t> m_received;
    // What the ports asked of the apps' reading, from the feeding and the
    // output threads.
    std::vector<bool> Pauses() {
        std::lock_guard lock(m_pausesLock);
        return m_pauses;
    }
    std::mutex m_pausesLock;
    std::vector<bool> m_pauses;
    std::vector<std::uint32_t> m_refused; // what the ports reported as refused
    MidiPorts m_ports{m_system,
                      m_settings,
                      m_ui,
                      [this](std::uint32_t word) { m_received.push_back(word); },
                      m_main.Poster(),
                      [this](bool paused) {
                          std::lock_guard lock(m_pausesLock);
                          m_pauses.push_back(paused);
                      },
                      [this](std::uint32_t word) { m_refused.push_back(word); }};
    platform::Menu m_tray;
};

TEST_F(MidiPortsTest, ListsGoToTheirPlacesWithIdsWithoutGapsPastAFailedQuery) {
    m_system.inputs = {
        {"Keys"}, {.name = "Broken", .queryResult = midi::MidiResult::Error}, {"Pads"}};
    m_system.outputs = {{"Synth"}, {"Drums"}};
    Build("Pads", "Drums");

    ASSERT_EQ(m_tray.Items().size(), 15u);
    EXPECT_EQ(m_tray.Items()[10].text, "Input Midi Port");
    EXPECT_EQ(m_tray.Items()[10].submenu, m_ports.InputList());
    EXPECT_EQ(m_tray.Items()[11].text, "Output Midi Port");
    EXPECT_EQ(m_tray.Items()[11].submenu, m_ports.OutputList());

    EXPECT_EQ(Rows(*m_ports.InputList()), (std::vector<Row>{{32810, "None", true, false},
                                                            {32811, "Keys", true, false},
                                                            {32812, "Pads", true, true}}));
    EXPECT_EQ(Rows(*m_ports.OutputList()), (std::vector<Row>{{33810, "None", true, false},
                                                             {33811, "Synth", true, false},
                                                             {33812, "Drums", true, true}}));
    EXPECT_EQ(m_ports.CheckedIn(), 32812);
    EXPECT_EQ(m_ports.CheckedOut(), 33812);

    // The device behind the failed query cannot be opened by name either; the
    // one after it opens at its own index.
    EXPECT_FALSE(OpenIn("Broken"));
    EXPECT_TRUE(OpenIn("Pads"));
    EXPECT_EQ(m_system.log->inOpened, std::vector<unsigned>{2});
}

TEST_F(MidiPortsTest, OfTwoDevicesWithOneNameTheFirstIsCheckedAndOpened) {
    m_system.outputs = {{"Other"}, {"Synth"}, {"Synth"}};
    Build("", "Synth");
    EXPECT_EQ(m_ports.CheckedOut(), 33812);
    EXPECT_FALSE(m_ports.OutputList()->Find(33813)->checked);
    EXPECT_TRUE(OpenOut("Synth"));
    EXPECT_EQ(m_system.log->outOpened, std::vector<unsigned>{1});
}

TEST_F(MidiPortsTest, SavedNameInOtherLetterCaseDoesNotMatch) {
    m_system.inputs = {{"Keys"}};
    m_system.outputs = {{"Synth"}};
    Build("keys", "SYNTH");
    EXPECT_EQ(m_ports.CheckedIn(), 32810);
    EXPECT_EQ(m_ports.CheckedOut(), 33810);
    EXPECT_TRUE(m_ports.InputList()->Find(32810)->checked);
    // "None" becomes the name in memory; the stored setting is not rewritten.
    EXPECT_EQ(m_ports.InPortName(), "None");
    EXPECT_EQ(m_ports.OutPortName(), "None");
    EXPECT_EQ(m_settings.writes, 0);
    EXPECT_FALSE(OpenIn("keys"));
    EXPECT_FALSE(OpenOut("SYNTH"));
    EXPECT_TRUE(m_system.log->inOpened.empty());
    EXPECT_TRUE(m_system.log->outOpened.empty());
}

TEST_F(MidiPortsTest, WithoutDevicesAListShowsGrayedNoneAndNothingIsChecked) {
    Build("Keys", "Synth");
    const std::vector<Row> expected = {{32802, "none", false, false}, {0, "", true, false}};
    std::vector<Row> in = expected, out = expected;
    in[1] = {32810, "None", true, false};
    out[1] = {33810, "None", true, false};
    EXPECT_EQ(Rows(*m_ports.InputList()), in);
    EXPECT_EQ(Rows(*m_ports.OutputList()), out);
    EXPECT_EQ(m_ports.CheckedIn(), 0);
    EXPECT_EQ(m_ports.CheckedOut(), 0);
    // The names stay as read from the settings.
    EXPECT_EQ(m_ports.InPortName(), "Keys");
    EXPECT_EQ(m_ports.OutPortName(), "Synth");
}

TEST_F(MidiPortsTest, WithoutInputDevicesOpeningTellsTheUserAndCountsAsSuccess) {
    m_system.outputs = {{"Synth"}};
    Build("Keys", "Synth");
    EXPECT_TRUE(OpenIn("Keys"));
    EXPECT_FALSE(m_ports.InputOpen());
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    EXPECT_EQ(m_ui.boxes[0].first, "There is no device for input midi port");
    EXPECT_EQ(m_ui.boxes[0].second, "PallorwindWin");

    // Choosing the input "None" tries again and tells again.
    Choose(kIdInNone);
    EXPECT_EQ(m_ui.boxes.size(), 2u);
    EXPECT_EQ(m_settings.values[kSettingInMidiPort], "None");
    // No output device missing means no message for outputs.
    EXPECT_FALSE(OpenOut("Nothing"));
    EXPECT_EQ(m_ui.boxes.size(), 2u);
}

TEST_F(MidiPortsTest, ChoosingTheCheckedItemChangesNothing) {
    m_system.inputs = {{"Keys"}};
    m_system.outputs = {{"Synth"}};
    Build("Keys", "Synth");
    ASSERT_TRUE(OpenIn(m_ports.InPortName()));
    ASSERT_TRUE(OpenOut(m_ports.OutPortName()));

    Choose(32811);
    Choose(33811);
    EXPECT_EQ(m_system.log->inClosed, 0);
    EXPECT_EQ(m_system.log->outClosed, 0);
    EXPECT_EQ(m_system.log->inOpened.size(), 1u);
    EXPECT_EQ(m_system.log->outOpened.size(), 1u);
    EXPECT_EQ(m_settings.writes, 0);
    EXPECT_TRUE(m_ui.boxes.empty());
}

TEST_F(MidiPortsTest, ChoosingNoneClosesTheDeviceWritesNoneAndStopsPlaying) {
    m_system.inputs = {{"Keys"}};
    m_system.outputs = {{"Synth"}};
    Build("Keys", "Synth");
    ASSERT_TRUE(OpenIn(m_ports.InPortName()));
    ASSERT_TRUE(OpenOut(m_ports.OutPortName()));
    ASSERT_EQ(m_ports.SendMidiOut(0x7F3C90), 0);
    ASSERT_TRUE(Played(1));

    Choose(kIdOutNone);
    Choose(kIdInNone);
    EXPECT_EQ(m_system.log->outClosed, 1);
    EXPECT_EQ(m_system.log->inClosed, 1);
    EXPECT_EQ(m_system.log->outOpened.size(), 1u);
    EXPECT_EQ(m_system.log->inOpened.size(), 1u);
    EXPECT_EQ(m_settings.values[kSettingOutMidiPort], "None");
    EXPECT_EQ(m_settings.values[kSettingInMidiPort], "None");
    EXPECT_TRUE(m_ports.OutputList()->Find(kIdOutNone)->checked);
    EXPECT_FALSE(m_ports.OutputList()->Find(33811)->checked);
    EXPECT_TRUE(m_ui.boxes.empty());

    EXPECT_NE(m_ports.SendMidiOut(0x7F3C90), 0);
    EXPECT_EQ(m_system.log->SentCount(), 1u);
    EXPECT_FALSE(m_system.PlayIn(0x90));
}

TEST_F(MidiPortsTest, ChoosingAnotherDeviceClosesTheOldOneFirstAndRoutesItsInput) {
    m_system.inputs = {{"Keys"}, {"Pads"}};
    Build("Keys", "");
    ASSERT_TRUE(OpenIn("Keys"));
    ASSERT_TRUE(m_system.PlayIn(0x7F3C90));

    Choose(32812);
    EXPECT_EQ(m_system.log->Events(), (Events{"open in 0", "close in 0", "open in 1"}));
    EXPECT_EQ(m_ports.CheckedIn(), 32812);
    EXPECT_EQ(m_settings.values[kSettingInMidiPort], "Pads");
    ASSERT_TRUE(m_system.PlayIn(0x40B0));
    EXPECT_EQ(m_received, (std::vector<std::uint32_t>{0x7F3C90, 0x40B0}));
}

TEST_F(MidiPortsTest, InputThatOpensButDoesNotStartFailsAndStaysOpenUntilTheNextChoice) {
    m_system.inputs = {{.name = "Keys", .startResult = midi::MidiResult::Error}, {"Pads"}};
    Build("Keys", "");
    EXPECT_FALSE(OpenIn("Keys"));
    EXPECT_TRUE(m_ports.InputOpen());
    Choose(32812);
    EXPECT_EQ(m_system.log->inClosed, 1);
}

TEST_F(MidiPortsTest, SendMidiOutPlaysNothingWhileTheOutputStatusIsAFailure) {
    m_system.outputs = {{.name = "Synth", .openResult = midi::MidiResult::Allocated}, {"Drums"}};
    Build("", "Synth");
    EXPECT_FALSE(OpenOut("Synth"));
    EXPECT_EQ(m_ports.OutputStatus(), midi::MidiResult::Allocated);
    EXPECT_EQ(m_ports.SendMidiOut(0x7F3C90), 1);

    // A good device clears it; the word is passed on whole.
    Choose(33812);
    EXPECT_EQ(m_ports.OutputStatus(), midi::MidiResult::Ok);
    EXPECT_EQ(m_ports.SendMidiOut(0x0005C0), 0);
    ASSERT_TRUE(Played(1));
    EXPECT_EQ(m_system.log->Sent(),
              (std::vector<std::pair<unsigned, std::uint32_t>>{{1, 0x0005C0}}));
}

TEST_F(MidiPortsTest, SendMidiOutReportsNoDeviceAndTakesWhatTheDeviceMayRefuseLater) {
    m_system.outputs = {{.name = "Synth", .sendResult = midi::MidiResult::NotReady}};
    Build("", "None");
    EXPECT_FALSE(OpenOut("None")); // the last query succeeded: status 0
    EXPECT_EQ(m_ports.OutputStatus(), midi::MidiResult::Ok);
    EXPECT_EQ(m_ports.SendMidiOut(0x90), 5); // the number of an invalid handle

    // Taken for playing; the device's refusal comes later and drops it.
    ASSERT_TRUE(OpenOut("Synth"));
    EXPECT_EQ(m_ports.SendMidiOut(0x7F3C90), 0);
}

TEST_F(MidiPortsTest, OutputStatusKeepsTheLastQueryResultWhenNoNameMatches) {
    m_system.outputs = {{"Synth"}, {.name = "Broken", .queryResult = midi::MidiResult::NotReady}};
    Build("", "");
    EXPECT_FALSE(OpenOut("Missing"));
    EXPECT_EQ(m_ports.OutputStatus(), midi::MidiResult::NotReady);
    EXPECT_EQ(m_ports.SendMidiOut(0x90), 1);
}

// The k-th message of a run: a note-on whose data bytes count k.
std::uint32_t Numbered(std::size_t k) {
    return 0x90u | std::uint32_t(k & 0x7F) << 8 | std::uint32_t(k >> 7 & 0x7F) << 16;
}

TEST_F(MidiPortsTest, AnOpenOutputThatRefusesIsReportedOncePerRunOfRefusedMessages) {
    m_system.outputs = {{"Synth"}};
    Build("", "Synth");
    ASSERT_TRUE(OpenOut("Synth"));
    // Two runs of refusals (the MIDI server away, twice), each ended by a
    // message that plays; each run is told once, by its first message,
    // however the output thread takes the run in batches.
    std::size_t played = 0;
    for (const std::size_t first : {1u, 100u}) {
        m_system.log->refuse = midi::MidiResult::NotReady;
        for (std::size_t k = first; k < first + 3; ++k) {
            ASSERT_EQ(m_ports.SendMidiOut(Numbered(k)), 0); // taken: refused later
            m_main.RunUntil([] { return false; }, 5ms);
        }
        ++played;
        ASSERT_TRUE(m_main.RunUntil([&] { return m_refused.size() >= played; }));
        m_system.log->refuse = midi::MidiResult::Ok;
        ASSERT_EQ(m_ports.SendMidiOut(Numbered(first + 50)), 0);
        ASSERT_TRUE(Played(played));
    }
    m_main.RunUntil([] { return false; }, 100ms);
    EXPECT_EQ(m_refused, (std::vector<std::uint32_t>{Numbered(1), Numbered(100)}));
    EXPECT_EQ(m_system.log->Sent(), (std::vector<std::pair<unsigned, std::uint32_t>>{
                                        {0, Numbered(51)}, {0, Numbered(150)}}));
}

TEST_F(MidiPortsTest, WhileTheOutputBlocksMessagesWaitAndReadingPausesUntilTheQueueDrains) {
    m_system.outputs = {{"Synth"}};
    Build("", "Synth");
    ASSERT_TRUE(OpenOut("Synth"));
    m_system.log->BlockOutput(true);
    // The output thread takes the first message and waits in the device.
    ASSERT_EQ(m_ports.SendMidiOut(Numbered(0)), 0);
    ASSERT_TRUE(m_main.RunUntil([&] { return m_system.log->OutputWaiting(); }));

    // The queue fills up to its high-water mark and asks for a pause there,
    // once, through the main thread; what is sent after that (already read
    // from an app) is taken too.
    constexpr std::size_t kTotal = midi::MidiOutThread::kHighWater + 500;
    std::size_t pausedAfter = 0;
    for (std::size_t k = 1; k < kTotal; ++k) {
        ASSERT_EQ(m_ports.SendMidiOut(Numbered(k)), 0) << k;
        if (pausedAfter == 0 && !Pauses().empty())
            pausedAfter = k;
    }
    EXPECT_EQ(pausedAfter, midi::MidiOutThread::kHighWater);
    EXPECT_EQ(Pauses(), std::vector<bool>{true});
    EXPECT_EQ(m_ports.QueuedMessages(), kTotal - 1);
    m_main.RunUntil([] { return false; }, 20ms);
    EXPECT_EQ(Pauses(), std::vector<bool>{true}) << "resumed while nothing was played";

    // The device takes again: everything plays, in order, and reading resumes.
    m_system.log->BlockOutput(false);
    ASSERT_TRUE(m_main.RunUntil(
        [&] { return m_system.log->SentCount() == kTotal && Pauses().size() == 2; }));
    EXPECT_EQ(Pauses(), (std::vector<bool>{true, false}));
    const auto sent = m_system.log->Sent();
    for (std::size_t k = 0; k < kTotal; ++k)
        ASSERT_EQ(sent[k].second, Numbered(k)) << k;
}

TEST_F(MidiPortsTest, AnOutputThatTakesAtOncePlaysOnThisThreadAndNothingOvertakesWhatWaits) {
    m_system.outputs = {{.name = "Synth", .takesAtOnce = true}};
    Build("", "Synth");
    ASSERT_TRUE(OpenOut("Synth"));
    const auto here = std::this_thread::get_id();

    // Taken at once: played before SendMidiOut returns, here, by no thread.
    ASSERT_EQ(m_ports.SendMidiOut(Numbered(0)), 0);
    EXPECT_EQ(m_system.log->SentCount(), 1u);

    // The output cannot take at once: the output thread takes what came,
    // and waits in the device with it.
    m_system.log->RefuseAtOnce(true);
    m_system.log->BlockOutput(true);
    for (std::size_t k = 1; k <= 10; ++k)
        ASSERT_EQ(m_ports.SendMidiOut(Numbered(k)), 0);
    ASSERT_TRUE(m_main.RunUntil([&] { return m_system.log->OutputWaiting(); }));
    // It could take at once again, but those messages are still on their
    // way: what comes now waits behind them.
    m_system.log->RefuseAtOnce(false);
    for (std::size_t k = 11; k <= 20; ++k)
        ASSERT_EQ(m_ports.SendMidiOut(Numbered(k)), 0);
    EXPECT_EQ(m_system.log->SentCount(), 1u) << "a message overtook those on the output thread";
    m_system.log->BlockOutput(false);
    ASSERT_TRUE(Played(21));

    // Once the thread is done with them, messages are taken at once again
    // (the first of these may still find it finishing).
    std::size_t next = 21;
    ASSERT_TRUE(m_main.RunUntil([&] {
        EXPECT_EQ(m_ports.SendMidiOut(Numbered(next++)), 0);
        return m_system.log->AtOnceThreads().size() == 2;
    }));
    ASSERT_TRUE(Played(next));
    const auto sent = m_system.log->Sent();
    ASSERT_EQ(sent.size(), next);
    for (std::size_t k = 0; k < next; ++k)
        ASSERT_EQ(sent[k].second, Numbered(k)) << k;
    EXPECT_EQ(m_system.log->AtOnceThreads(), (std::vector<std::thread::id>{here, here}));
    EXPECT_TRUE(Pauses().empty());
}

TEST_F(MidiPortsTest, MessagesSentWhileTheOutputOpensPlayOnceItIsOpenOrGoWhenItFails) {
    m_system.outputs = {{"Synth"}, {.name = "Broken", .openResult = midi::MidiResult::Allocated}};
    Build("", "Synth");
    std::optional<bool> opened;
    m_ports.OpenOutPort("Synth", [&](bool ok) { opened = ok; });
    EXPECT_TRUE(m_ports.Busy());
    EXPECT_EQ(m_ports.SendMidiOut(0x7F3C90), 0); // before the result came back
    ASSERT_TRUE(m_main.RunUntil([&] { return opened && m_system.log->SentCount() == 1; }));
    EXPECT_TRUE(*opened);

    // A device that does not open drops what waited for it.
    m_ports.SelectPort(33812);
    EXPECT_EQ(m_ports.SendMidiOut(0x0005C0), 0);
    ASSERT_TRUE(m_main.RunUntil([&] { return !m_ports.Busy(); }));
    EXPECT_EQ(m_ports.OutputStatus(), midi::MidiResult::Allocated);
    EXPECT_EQ(m_ports.SendMidiOut(0x0005C0), 1);
    EXPECT_EQ(m_system.log->Events(), (Events{"open out 0", "close out 0"}));
    EXPECT_EQ(m_system.log->Sent(),
              (std::vector<std::pair<unsigned, std::uint32_t>>{{0, 0x7F3C90}}));
}

TEST_F(MidiPortsTest, ExitClosesInputThenOutputAndWaitsForAStuckOutputNoLongerThanItsBound) {
    m_system.inputs = {{"Keys"}};
    m_system.outputs = {{"Synth"}};
    Build("Keys", "Synth");
    ASSERT_TRUE(OpenIn("Keys"));
    ASSERT_TRUE(OpenOut("Synth"));
    m_system.log->BlockOutput(true);
    ASSERT_EQ(m_ports.SendMidiOut(0x7F3C90), 0);
    ASSERT_TRUE(m_main.RunUntil([&] { return m_system.log->OutputWaiting(); }));
    // Lets the device go once the exit returned, or after 2 s should the exit
    // wait for it.
    std::atomic<bool> exited{false};
    std::thread valve([&] {
        const auto end = std::chrono::steady_clock::now() + 2s;
        while (!exited && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(1ms);
        m_system.log->BlockOutput(false);
    });

    const auto start = std::chrono::steady_clock::now();
    m_ports.CloseDevices(200ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, 1s);
    EXPECT_FALSE(m_ports.OutputOpen());
    EXPECT_NE(m_ports.SendMidiOut(0x90), 0);
    // The input, not yet closed, reaches the bridge no more.
    ASSERT_TRUE(m_system.PlayIn(0xF8));
    EXPECT_TRUE(m_received.empty());

    // Once the device returns, both close, the input first.
    exited = true;
    valve.join();
    ASSERT_TRUE(m_main.RunUntil([&] { return m_system.log->Events().size() == 4; }));
    EXPECT_EQ(m_system.log->Events(),
              (Events{"open in 0", "open out 0", "close in 0", "close out 0"}));
}

TEST_F(MidiPortsTest, AppsFeedingAtOnceLoseNothingAndEachKeepsItsOrder) {
    m_system.outputs = {{.name = "Synth", .takesAtOnce = true}};
    Build("", "Synth");
    ASSERT_TRUE(OpenOut("Synth"));
    // Four apps' readers play at once, while the output does not take every
    // fifth message at once: their messages go by both ways, the caller's
    // and the output thread's, and a read's partly one way, partly the other.
    constexpr std::size_t kApps = 4, kEach = 3000;
    m_system.log->RefuseAtOnceEvery(5);
    std::vector<std::thread> apps;
    for (std::size_t app = 0; app < kApps; ++app)
        apps.emplace_back([&, app] {
            // A read brings one to seven records, played together.
            std::vector<std::uint32_t> read;
            for (std::size_t k = 0; k < kEach; ++k) {
                read.push_back(0x90u | std::uint32_t(app) | std::uint32_t(k & 0x7F) << 8 |
                               std::uint32_t(k >> 7) << 16);
                if (read.size() == 1 + (k + app) % 7 || k + 1 == kEach) {
                    m_ports.SendMidiOut(read);
                    read.clear();
                }
            }
        });
    for (auto& app : apps)
        app.join();
    ASSERT_TRUE(m_main.RunUntil([&] { return m_system.log->SentCount() == kApps * kEach; }))
        << m_system.log->SentCount() << " played";
    std::vector<std::size_t> next(kApps, 0);
    for (const auto& [device, word] : m_system.log->Sent()) {
        const std::size_t app = word & 0x0F;
        const std::size_t k = (word >> 8 & 0x7F) | (word >> 16 & 0x7F) << 7;
        ASSERT_EQ(k, next[app]) << "app " << app << " out of order";
        ++next[app];
    }
    EXPECT_TRUE(Pauses().empty() || Pauses().back() == false);
}

} // namespace
} // namespace pallorwind::win
