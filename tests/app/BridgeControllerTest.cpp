// The headless bridge's start-up and MIDI paths with a MIDI system in memory
// and a real loopback network link.
#include "win/app/CPallorwindOSXDlg.h"
#include "BridgeTestSupport.h"
#include "tests/support/FakeMidiSystem.h"

#include <gtest/gtest.h>

namespace pallorwind::win {
namespace {

using testing::AppClient;
using testing::SpinUntil;
using Box = std::pair<std::string, std::string>;

class BridgeControllerTest : public ::testing::Test {
protected:
    midi::FakeMidiSystem m_midi;
    MemorySettingsStore m_settings;
    testing::RecordingUi m_ui;
    CPallorwindOSXDlg m_controller{m_settings, m_midi, m_ui, "studio-pc"};
};

TEST_F(BridgeControllerTest, FirstStartWithDevicesWarnsForBothKindsAndStoresThePort) {
    m_midi.inputs = {{"Keys"}};
    m_midi.outputs = {{"Synth"}};
    m_controller.Start();
    ASSERT_TRUE(SpinUntil([&] { return m_ui.boxes.size() == 2; }));
    EXPECT_EQ(
        m_ui.boxes,
        (std::vector<Box>{
            {"Open In Port failed \nPallorwind may not work as expected ", "PallorwindWin"},
            {"Open Out Port failed \nPallorwind may not work as expected", "PallorwindWin"}}));
    EXPECT_EQ(m_controller.Name(), "studio-pc");
    EXPECT_NE(m_controller.Port(), "0");
    EXPECT_EQ(m_settings.values[kSettingPort], m_controller.Port());
    EXPECT_EQ(m_controller.Ports().CheckedIn(), kIdInNone);
    EXPECT_NE(m_controller.SendMidiOut(0x7F3C90), 0);
}

TEST_F(BridgeControllerTest, WithoutInputDevicesOnlyThatIsSaid) {
    m_midi.outputs = {{"Synth"}};
    m_settings.values = {{kSettingInMidiPort, "Keys"}, {kSettingOutMidiPort, "Synth"}};
    m_controller.Start();
    ASSERT_TRUE(SpinUntil([&] { return !m_controller.Ports().Busy(); }));
    EXPECT_EQ(m_ui.boxes,
              (std::vector<Box>{{"There is no device for input midi port", "PallorwindWin"}}));
    EXPECT_TRUE(m_controller.Ports().OutputOpen());
}

TEST_F(BridgeControllerTest, NamedDevicesCarryMidiBothWaysAndCloseAtExit) {
    m_midi.inputs = {{"Other"}, {"Keys"}};
    m_midi.outputs = {{"Synth"}};
    m_settings.values = {{kSettingInMidiPort, "Keys"}, {kSettingOutMidiPort, "Synth"}};
    m_controller.Start();
    ASSERT_TRUE(SpinUntil([&] { return !m_controller.Ports().Busy(); }));
    EXPECT_TRUE(m_ui.boxes.empty());
    ASSERT_EQ(m_midi.log->inOpened, std::vector<unsigned>{1});

    AppClient app(std::uint16_t(std::stoi(m_controller.Port())));
    ASSERT_TRUE(app.Connected());
    ASSERT_TRUE(SpinUntil([&] { return m_controller.Clients() == 1; }));
    ASSERT_TRUE(app.Send({0x90, 0x3C, 0x7F, 0xC0, 0x05, 0x00}));
    ASSERT_TRUE(SpinUntil([&] { return m_midi.log->SentCount() == 2; }));
    EXPECT_EQ(m_midi.log->Sent()[0].second, 0x7F3C90u);
    EXPECT_EQ(m_midi.log->Sent()[1].second, 0x0005C0u);

    // The input device's callback queues for the app (MidiInProc).
    ASSERT_TRUE(m_midi.PlayIn(0x6407B1));
    ASSERT_TRUE(m_midi.PlayIn(0xF8));
    ASSERT_TRUE(SpinUntil([&] { return app.ReceivedSize() >= 4; }));
    EXPECT_EQ(app.Received(), (std::vector<std::uint8_t>{0xB1, 0x07, 0x64, 0xF8}));

    m_controller.Exit();
    EXPECT_EQ(m_midi.log->inClosed, 1);
    EXPECT_EQ(m_midi.log->outClosed, 1);
    EXPECT_EQ(m_controller.Server(), nullptr);
    EXPECT_FALSE(m_midi.PlayIn(0x90));
}

TEST_F(BridgeControllerTest, TheRegistrationDialogFlagIsReadAndWrittenAsText) {
    m_settings.values = {{kSettingDisplayBonjourMsg, "0"}};
    m_controller.Start();
    EXPECT_FALSE(m_controller.GetDisplayBonjourMsg());
    const int writes = m_settings.writes;
    m_controller.SetDisplayBonjourMsg(false);
    EXPECT_EQ(m_settings.writes, writes);
    m_controller.SetDisplayBonjourMsg(true);
    EXPECT_EQ(m_settings.values[kSettingDisplayBonjourMsg], "1");
}

} // namespace
} // namespace pallorwind::win
