// The MIDI port lists, opening and choosing devices, and playing the app's
// messages, on a MIDI system in memory.
#include "win/app/MidiPorts.h"
#include "tests/support/FakeMidiSystem.h"
#include "tests/support/RecordingUi.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace pallorwind::win {
namespace {

using midi::FakeMidiSystem;

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
std::vector<Row> Rows(const Menu& menu) {
    std::vector<Row> rows;
    for (const MenuItem& item : menu.Items())
        rows.push_back({item.id, item.text, item.enabled, item.checked});
    return rows;
}

class MidiPortsTest : public ::testing::Test {
protected:
    // A tray menu with the thirteen items that come before the lists' places.
    void Build(std::string in, std::string out) {
        for (int i = 0; i < 13; ++i)
            m_tray.Append(40000 + i, "item " + std::to_string(i));
        m_ports.SetPortNames(std::move(in), std::move(out));
        m_ports.BuildPortLists(m_tray);
    }

    FakeMidiSystem m_system;
    MemorySettingsStore m_settings;
    RecordingUi m_ui;
    std::vector<std::uint32_t> m_received;
    MidiPorts m_ports{m_system, m_settings, m_ui,
                      [this](std::uint32_t word) { m_received.push_back(word); }};
    Menu m_tray;
};

TEST_F(MidiPortsTest, ListsGoToTheirPlacesWithIdsWithoutGapsPastAFailedQuery) {
    m_system.inputs = {{"Keys"}, {.name = "Broken", .queryResult = midi::kMidiError}, {"Pads"}};
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
    EXPECT_FALSE(m_ports.OpenInPort("Broken"));
    EXPECT_TRUE(m_ports.OpenInPort("Pads"));
    EXPECT_EQ(m_system.log->inOpened, std::vector<unsigned>{2});
}

TEST_F(MidiPortsTest, OfTwoDevicesWithOneNameTheFirstIsCheckedAndOpened) {
    m_system.outputs = {{"Other"}, {"Synth"}, {"Synth"}};
    Build("", "Synth");
    EXPECT_EQ(m_ports.CheckedOut(), 33812);
    EXPECT_FALSE(m_ports.OutputList()->Find(33813)->checked);
    EXPECT_TRUE(m_ports.OpenOutPort("Synth"));
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
    EXPECT_FALSE(m_ports.OpenInPort("keys"));
    EXPECT_FALSE(m_ports.OpenOutPort("SYNTH"));
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
    EXPECT_TRUE(m_ports.OpenInPort("Keys"));
    EXPECT_FALSE(m_ports.InputOpen());
    ASSERT_EQ(m_ui.boxes.size(), 1u);
    EXPECT_EQ(m_ui.boxes[0].first, "There is no device for input midi port");
    EXPECT_EQ(m_ui.boxes[0].second, "PallorwindWin");

    // Choosing the input "None" tries again and tells again.
    m_ports.SelectPort(kIdInNone);
    EXPECT_EQ(m_ui.boxes.size(), 2u);
    EXPECT_EQ(m_settings.values[kSettingInMidiPort], "None");
    // No output device missing means no message for outputs.
    EXPECT_FALSE(m_ports.OpenOutPort("Nothing"));
    EXPECT_EQ(m_ui.boxes.size(), 2u);
}

TEST_F(MidiPortsTest, ChoosingTheCheckedItemChangesNothing) {
    m_system.inputs = {{"Keys"}};
    m_system.outputs = {{"Synth"}};
    Build("Keys", "Synth");
    ASSERT_TRUE(m_ports.OpenInPort(m_ports.InPortName()));
    ASSERT_TRUE(m_ports.OpenOutPort(m_ports.OutPortName()));

    m_ports.SelectPort(32811);
    m_ports.SelectPort(33811);
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
    ASSERT_TRUE(m_ports.OpenInPort(m_ports.InPortName()));
    ASSERT_TRUE(m_ports.OpenOutPort(m_ports.OutPortName()));
    ASSERT_EQ(m_ports.SendMidiOut(0x7F3C90), 0);

    m_ports.SelectPort(kIdOutNone);
    m_ports.SelectPort(kIdInNone);
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
    EXPECT_EQ(m_system.log->sent.size(), 1u);
    EXPECT_FALSE(m_system.PlayIn(0x90));
}

TEST_F(MidiPortsTest, ChoosingAnotherDeviceClosesTheOldOneFirstAndRoutesItsInput) {
    m_system.inputs = {{"Keys"}, {"Pads"}};
    Build("Keys", "");
    ASSERT_TRUE(m_ports.OpenInPort("Keys"));
    ASSERT_TRUE(m_system.PlayIn(0x7F3C90));

    m_ports.SelectPort(32812);
    EXPECT_EQ(m_system.log->inClosed, 1);
    EXPECT_EQ(m_system.log->inOpened, (std::vector<unsigned>{0, 1}));
    EXPECT_EQ(m_ports.CheckedIn(), 32812);
    EXPECT_EQ(m_settings.values[kSettingInMidiPort], "Pads");
    ASSERT_TRUE(m_system.PlayIn(0x40B0));
    EXPECT_EQ(m_received, (std::vector<std::uint32_t>{0x7F3C90, 0x40B0}));
}

TEST_F(MidiPortsTest, InputThatOpensButDoesNotStartFailsAndStaysOpenUntilTheNextChoice) {
    m_system.inputs = {{.name = "Keys", .startResult = midi::kMidiError}, {"Pads"}};
    Build("Keys", "");
    EXPECT_FALSE(m_ports.OpenInPort("Keys"));
    EXPECT_TRUE(m_ports.InputOpen());
    m_ports.SelectPort(32812);
    EXPECT_EQ(m_system.log->inClosed, 1);
}

TEST_F(MidiPortsTest, SendMidiOutPlaysNothingWhileTheOutputStatusIsAFailure) {
    m_system.outputs = {{.name = "Synth", .openResult = 4}, {"Drums"}};
    Build("", "Synth");
    EXPECT_FALSE(m_ports.OpenOutPort("Synth"));
    EXPECT_EQ(m_ports.OutputStatus(), 4u);
    EXPECT_EQ(m_ports.SendMidiOut(0x7F3C90), 1);
    EXPECT_TRUE(m_system.log->sent.empty());

    // A good device clears it; the word is passed on whole.
    m_ports.SelectPort(33812);
    EXPECT_EQ(m_ports.OutputStatus(), 0u);
    EXPECT_EQ(m_ports.SendMidiOut(0x0005C0), 0);
    ASSERT_EQ(m_system.log->sent.size(), 1u);
    EXPECT_EQ(m_system.log->sent[0], (std::pair<unsigned, std::uint32_t>{1, 0x0005C0}));
}

TEST_F(MidiPortsTest, SendMidiOutReportsNoDeviceAndPassesTheDevicesErrorOn) {
    m_system.outputs = {{.name = "Synth", .sendResult = 67}};
    Build("", "None");
    EXPECT_FALSE(m_ports.OpenOutPort("None")); // the last query succeeded: status 0
    EXPECT_EQ(m_ports.OutputStatus(), 0u);
    EXPECT_EQ(m_ports.SendMidiOut(0x90), int(midi::kMidiInvalidHandle));

    ASSERT_TRUE(m_ports.OpenOutPort("Synth"));
    EXPECT_EQ(m_ports.SendMidiOut(0x7F3C90), 67);
}

TEST_F(MidiPortsTest, OutputStatusKeepsTheLastQueryResultWhenNoNameMatches) {
    m_system.outputs = {{"Synth"}, {.name = "Broken", .queryResult = 6}};
    Build("", "");
    EXPECT_FALSE(m_ports.OpenOutPort("Missing"));
    EXPECT_EQ(m_ports.OutputStatus(), 6u);
    EXPECT_EQ(m_ports.SendMidiOut(0x90), 1);
}

} // namespace
} // namespace pallorwind::win
