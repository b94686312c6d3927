// The controller with a MIDI system in memory, a real loopback network link,
// and a tray, dialogs and desktop that record what they are asked to show.
#include "BridgeTestSupport.h"
#include "tests/support/FakeMidiSystem.h"
#include "tests/support/FakeShell.h"
#include "tests/support/MemorySettingsStore.h"
#include "win/app/CPallorwindOSXDlg.h"
#include "win/update/SinkUpdateUi.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>

namespace pallorwind::win {
namespace {

using platform::TrayIcon;
using testing::AppClient;
using testing::SpinUntil;
using Box = std::pair<std::string, std::string>;
using Lines = std::vector<std::string>;

// One line per item of `menu`: id, text and state; submenus by their title.
Lines Describe(const platform::Menu& menu) {
    Lines lines;
    for (const platform::MenuItem& item : menu.Items()) {
        std::string line = std::to_string(item.id) + " ";
        line += item.separator ? "----" : item.submenu ? "> " + item.text : item.text;
        if (!item.enabled)
            line += " [grayed]";
        if (item.checked)
            line += " [checked]";
        lines.push_back(line);
    }
    return lines;
}

class ControllerTest : public ::testing::Test {
protected:
    CPallorwindOSXDlg& Make(
        std::optional<std::vector<std::string>> addresses = std::vector<std::string>{"192.0.2.7"}) {
        ControllerOptions options;
        options.computerName = "studio-pc";
        options.addresses = std::move(addresses);
        options.executablePath = "/opt/Pallor Wind/pallorwind-win";
        options.startupUpdateCheck = true;
        options.installedByPackage = m_packaged;
        options.quit = [this] { ++m_quits; };
        m_controller = std::make_unique<CPallorwindOSXDlg>(
            m_settings, m_midi, m_ui, ControllerShell{m_tray, m_dialogs, m_desktop, m_updateUi},
            std::move(options));
        return *m_controller;
    }
    CPallorwindOSXDlg& Start() {
        CPallorwindOSXDlg& c = m_controller ? *m_controller : Make();
        EXPECT_TRUE(c.Start());
        EXPECT_TRUE(SpinUntil([&] { return !c.Ports().Busy(); }));
        return c;
    }
    std::string Text(int id) const { return m_controller->TrayMenu().Text(id); }
    std::uint16_t Port() const { return std::uint16_t(std::stoi(m_controller->Port())); }

    midi::FakeMidiSystem m_midi;
    MemorySettingsStore m_settings;
    testing::RecordingUi m_ui;
    test::FakeTrayHost m_tray;
    test::FakeDialogs m_dialogs;
    test::FakeDesktop m_desktop;
    SinkUpdateUi m_updateUi{m_ui};
    int m_quits = 0;
    bool m_packaged = false;
    std::unique_ptr<CPallorwindOSXDlg> m_controller;
};

TEST_F(ControllerTest, FirstStartShowsTheMenuWarnsForBothKindsAndStoresThePort) {
    m_midi.inputs = {{"Keys"}};
    m_midi.outputs = {{"Synth"}};
    Make({{"192.0.2.7", "10.1.2.3", "10.1.2.4"}});
    Start();
    ASSERT_TRUE(SpinUntil([&] { return m_ui.boxes.size() == 2; }));
    EXPECT_EQ(
        m_ui.boxes,
        (std::vector<Box>{
            {"Open In Port failed \nPallorwind may not work as expected ", "PallorwindWin"},
            {"Open Out Port failed \nPallorwind may not work as expected", "PallorwindWin"}}));
    EXPECT_EQ(m_controller->Name(), "studio-pc");
    EXPECT_NE(m_controller->Port(), "0");
    EXPECT_EQ(m_settings.values[kSettingPort], m_controller->Port());
    EXPECT_EQ(m_controller->Ports().CheckedIn(), kIdInNone);
    EXPECT_NE(m_controller->SendMidiOut(0x7F3C90), 0);

    // The icon once, idle, with this menu; further addresses carry no id.
    EXPECT_EQ(m_tray.added, 1);
    EXPECT_EQ(m_tray.tooltip, "Pallorwind WIN");
    EXPECT_EQ(m_tray.menu, &m_controller->TrayMenu());
    EXPECT_EQ(m_tray.Icon(), TrayIcon::Idle);
    EXPECT_EQ(Describe(m_controller->TrayMenu()),
              (Lines{"32771 No Clients [grayed]",
                     "0 ----",
                     "32772 Name: studio-pc [grayed]",
                     "32773 Set Name",
                     "32781 Auto [grayed] [checked]",
                     "0 ----",
                     "32787 Port: " + m_controller->Port() + " [grayed]",
                     "32776 Set Port",
                     "32782 Auto",
                     "0 ----",
                     "0 > Input Midi Port",
                     "0 > Output Midi Port",
                     "0 ----",
                     "32788 IP: 192.0.2.7 [grayed]",
                     "0 IP: 10.1.2.3 [grayed]",
                     "0 IP: 10.1.2.4 [grayed]",
                     "32792 ----",
                     "32785 About",
                     "32797 Website",
                     "32790 Check for Updates...",
                     "32786 Auto Start",
                     "32784 Exit"}));
    // The layout file type was registered before the icon was shown.
    ASSERT_EQ(m_desktop.fileTypes.size(), 1u);
    EXPECT_EQ(m_desktop.fileTypes[0].glob, "*.plw");
    EXPECT_EQ(m_desktop.fileTypes[0].comment, "Pallorwind File");
}

TEST_F(ControllerTest, StoredSettingsAndAnUnreadableHostNameShowInTheMenu) {
    m_settings.values = {{kSettingName, "Stage"},
                         {kSettingPort, "5004"},
                         {kSettingAutoPort, "1"},
                         {kSettingAutoStart, "1"}};
    CPallorwindOSXDlg& c = Make(std::nullopt);
    ASSERT_TRUE(c.Start());
    const Lines menu = Describe(c.TrayMenu());
    EXPECT_EQ(menu[2], "32772 Name: Stage [grayed]");
    EXPECT_EQ(menu[4], "32781 Auto");
    EXPECT_EQ(menu[8], "32782 Auto [grayed] [checked]");
    EXPECT_EQ(menu[13], "32788 IP"); // enabled, and no separator after it
    EXPECT_EQ(menu[14], "32785 About");
    EXPECT_EQ(menu[17], "32786 Auto Start [checked]");
    EXPECT_EQ(c.Port(), m_settings.values[kSettingPort]); // the port the system chose
    EXPECT_NE(c.Port(), "5004");
}

TEST_F(ControllerTest, ClientsAreCountedInTheStatusLineAndTheIcon) {
    Start();
    auto first = std::make_unique<AppClient>(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
    EXPECT_EQ(Text(kIdStatus), "1 Client connected");
    EXPECT_EQ(m_tray.Icon(), TrayIcon::Connected);
    AppClient second(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 2; }));
    EXPECT_EQ(Text(kIdStatus), "2 Client connected");

    first.reset();
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
    EXPECT_EQ(Text(kIdStatus), "1 Client connected");
    EXPECT_EQ(m_tray.Icon(), TrayIcon::Connected);
    second.Connection().Close();
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 0; }));
    EXPECT_EQ(Text(kIdStatus), "No Clients");
    EXPECT_EQ(m_tray.Icon(), TrayIcon::Idle);
    EXPECT_EQ(m_tray.icons, (std::vector<TrayIcon>{TrayIcon::Connected, TrayIcon::Connected,
                                                   TrayIcon::Connected, TrayIcon::Idle}));
}

TEST_F(ControllerTest, SetNameRestartsTheServiceAndStoresTheName) {
    Start();
    const std::string port = m_controller->Port();
    AppClient app(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));

    // Cancelled: nothing changes.
    m_tray.Choose(kIdSetName);
    ASSERT_TRUE(m_dialogs.name);
    EXPECT_EQ(m_controller->Clients(), 1);

    m_tray.Choose(kIdSetName);
    m_dialogs.name("Stage Left");
    EXPECT_EQ(m_controller->Name(), "Stage Left");
    EXPECT_EQ(m_settings.values[kSettingName], "Stage Left");
    EXPECT_EQ(m_settings.values[kSettingAutoName], "0");
    EXPECT_EQ(Text(kIdName), "Name: Stage Left");
    EXPECT_TRUE(m_controller->TrayMenu().Find(kIdAutoName)->enabled);
    EXPECT_FALSE(m_controller->TrayMenu().Find(kIdAutoName)->checked);
    // The service was built anew, on the port it had: the app was let go.
    EXPECT_EQ(Text(kIdStatus), "No Clients");
    EXPECT_EQ(m_tray.Icon(), TrayIcon::Idle);
    EXPECT_TRUE(app.Connection().ReceiveUntilClosed(std::chrono::seconds(5)));
    EXPECT_EQ(m_controller->Port(), port);
    AppClient again(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
    EXPECT_EQ(Text(kIdStatus), "1 Client connected");

    // The same name again still restarts.
    m_tray.Choose(kIdSetName);
    m_dialogs.name("Stage Left");
    EXPECT_EQ(m_controller->Clients(), 0);
}

TEST_F(ControllerTest, AutoNameGoesBackToTheComputerNameAndRestartsOnlyOnAChange) {
    m_settings.values = {{kSettingName, "Stage"}};
    Start();
    AppClient app(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
    m_tray.Choose(kIdAutoName);
    EXPECT_EQ(m_controller->Name(), "studio-pc");
    EXPECT_EQ(m_settings.values[kSettingName], "studio-pc");
    EXPECT_EQ(m_settings.values[kSettingAutoName], "1");
    EXPECT_EQ(Describe(m_controller->TrayMenu())[4], "32781 Auto [grayed] [checked]");
    EXPECT_EQ(Text(kIdName), "Name: studio-pc");
    EXPECT_EQ(m_controller->Clients(), 0);

    AppClient again(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
    m_tray.Choose(kIdAutoName); // already the computer name: no restart
    EXPECT_EQ(m_controller->Clients(), 1);
}

TEST_F(ControllerTest, SetPortAndAutoPortRestartOnTheirPortAndStoreIt) {
    Start();
    const std::string chosen = m_controller->Port();
    m_controller->SetDisplayBonjourMsg(true);
    // A port that is free now: the one the system chose, let go by a restart.
    m_tray.Choose(kIdSetPort);
    ASSERT_TRUE(m_dialogs.port);
    m_dialogs.port(chosen);
    EXPECT_EQ(m_settings.values[kSettingPort], chosen);
    EXPECT_EQ(m_settings.values[kSettingAutoPort], "0");
    EXPECT_EQ(Text(kIdPort), "Port: " + chosen);
    EXPECT_EQ(Describe(m_controller->TrayMenu())[8], "32782 Auto");
    AppClient app(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));

    m_tray.Choose(kIdAutoPort);
    EXPECT_EQ(m_settings.values[kSettingAutoPort], "1");
    EXPECT_EQ(Describe(m_controller->TrayMenu())[8], "32782 Auto [grayed] [checked]");
    EXPECT_EQ(m_controller->Clients(), 0); // restarted on any free port
    EXPECT_EQ(Text(kIdPort), "Port: " + m_controller->Port());
    EXPECT_EQ(m_settings.values[kSettingPort], m_controller->Port());
    AppClient again(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
}

TEST_F(ControllerTest, ARefusedNameLeavesNoServiceUntilTheNameChanges) {
    Start();
    AppClient app(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
    ASSERT_TRUE(SpinUntil([&] { return m_ui.boxes.size() == 2; })); // no MIDI devices
    m_controller->OnServerFailed();
    EXPECT_EQ(m_controller->Server(), nullptr);
    EXPECT_EQ(m_tray.Icon(), TrayIcon::Idle);
    EXPECT_EQ(Text(kIdStatus), "No Clients"); // its app went with it
    EXPECT_TRUE(app.Connection().ReceiveUntilClosed(std::chrono::seconds(5)));
    // Told once, and shown in the menu until the name changes.
    ASSERT_EQ(m_ui.boxes.size(), 3u);
    EXPECT_NE(m_ui.boxes[2].first.find("\"studio-pc\" is in use"), std::string::npos);
    EXPECT_EQ(Text(kIdName), "Name: studio-pc (in use)");

    m_tray.Choose(kIdSetName);
    m_dialogs.name("Another");
    ASSERT_NE(m_controller->Server(), nullptr);
    EXPECT_EQ(Text(kIdName), "Name: Another");
    EXPECT_EQ(m_ui.boxes.size(), 3u);
    AppClient again(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
}

TEST_F(ControllerTest, ShellCommandsReachTheDesktopAndTheDialogs) {
    Start();
    m_tray.Choose(kIdAutoStart);
    m_tray.Choose(kIdAutoStart);
    m_tray.Choose(kIdAutoStart);
    ASSERT_EQ(m_desktop.loginItems.size(), 3u);
    EXPECT_EQ(m_desktop.loginItems[0].first.id, "pallorwind-win");
    EXPECT_EQ(m_desktop.loginItems[0].first.executable, "/opt/Pallor Wind/pallorwind-win");
    EXPECT_TRUE(m_desktop.loginItems[0].second);
    EXPECT_FALSE(m_desktop.loginItems[1].second);
    EXPECT_EQ(m_settings.values[kSettingAutoStart], "1");
    EXPECT_TRUE(m_controller->TrayMenu().Find(kIdAutoStart)->checked);

    m_tray.Choose(kIdWebsite);
    EXPECT_EQ(m_desktop.urls, Lines{kWebsiteUrl});
    m_tray.Choose(kIdAbout);
    EXPECT_EQ(m_dialogs.abouts, 1);
    // Items without a command do nothing.
    const int writes = m_settings.writes;
    for (const int id : {kIdStatus, kIdName, kIdPort, kIdAddress, 0})
        m_tray.Choose(id);
    EXPECT_EQ(m_settings.writes, writes);
    EXPECT_EQ(m_quits, 0);
}

TEST_F(ControllerTest, ExitWithAppsConnectedEndsQuietly) {
    m_midi.inputs = {{"Keys"}};
    m_midi.outputs = {{"Synth"}};
    m_settings.values = {{kSettingInMidiPort, "Keys"}, {kSettingOutMidiPort, "Synth"}};
    Start();
    AppClient app(Port());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
    m_tray.Choose(kIdSetName); // a dialog still open at exit
    m_tray.Choose(kIdExit);
    EXPECT_EQ(m_tray.removed, 1);
    EXPECT_EQ(m_midi.log->inClosed, 1);
    EXPECT_EQ(m_midi.log->outClosed, 1);
    EXPECT_EQ(m_controller->Server(), nullptr);
    EXPECT_EQ(m_quits, 1);
    EXPECT_TRUE(app.Connection().ReceiveUntilClosed(std::chrono::seconds(5)));
    m_dialogs.name("Late"); // answered after the exit: nothing is built
    EXPECT_EQ(m_controller->Server(), nullptr);
    EXPECT_TRUE(m_ui.boxes.empty());
}

TEST_F(ControllerTest, WithoutInputDevicesOnlyThatIsSaid) {
    m_midi.outputs = {{"Synth"}};
    m_settings.values = {{kSettingInMidiPort, "Keys"}, {kSettingOutMidiPort, "Synth"}};
    Start();
    EXPECT_EQ(m_ui.boxes,
              (std::vector<Box>{{"There is no device for input midi port", "PallorwindWin"}}));
    EXPECT_TRUE(m_controller->Ports().OutputOpen());
}

TEST_F(ControllerTest, NamedDevicesCarryMidiBothWaysAndCloseAtExit) {
    m_midi.inputs = {{"Other"}, {"Keys"}};
    m_midi.outputs = {{"Synth"}};
    m_settings.values = {{kSettingInMidiPort, "Keys"}, {kSettingOutMidiPort, "Synth"}};
    Start();
    EXPECT_TRUE(m_ui.boxes.empty());
    ASSERT_EQ(m_midi.log->inOpened, std::vector<unsigned>{1});

    AppClient app(Port());
    ASSERT_TRUE(app.Connected());
    ASSERT_TRUE(SpinUntil([&] { return m_controller->Clients() == 1; }));
    ASSERT_TRUE(app.Send({0x90, 0x3C, 0x7F, 0xC0, 0x05, 0x00}));
    ASSERT_TRUE(SpinUntil([&] { return m_midi.log->SentCount() == 2; }));
    EXPECT_EQ(m_midi.log->Sent()[0].second, 0x7F3C90u);
    EXPECT_EQ(m_midi.log->Sent()[1].second, 0x0005C0u);

    // The input device's callback queues for the app (MidiInProc).
    ASSERT_TRUE(m_midi.PlayIn(0x6407B1));
    ASSERT_TRUE(m_midi.PlayIn(0xF8));
    ASSERT_TRUE(SpinUntil([&] { return app.ReceivedSize() >= 4; }));
    EXPECT_EQ(app.Received(), (std::vector<std::uint8_t>{0xB1, 0x07, 0x64, 0xF8}));

    // A choice from the output list closes the old device and opens the new.
    m_tray.Choose(kIdOutNone);
    ASSERT_TRUE(SpinUntil([&] { return !m_controller->Ports().Busy(); }));
    EXPECT_EQ(m_controller->Ports().CheckedOut(), kIdOutNone);
    EXPECT_EQ(m_settings.values[kSettingOutMidiPort], "None");

    m_controller->Exit();
    EXPECT_EQ(m_midi.log->inClosed, 1);
    EXPECT_EQ(m_midi.log->outClosed, 1);
    EXPECT_EQ(m_controller->Server(), nullptr);
    EXPECT_FALSE(m_midi.PlayIn(0x90));
}

TEST_F(ControllerTest, OneRegistrationDialogAtATimeAndAnAnswerNeverTurnsItBackOn) {
    Start();
    m_ui.holdNotices = true;
    auto ask = [&] {
        m_controller->AskRegistrationError(
            [&](bool ok, bool dontShow) { m_controller->SetDisplayBonjourMsg(ok && !dontShow); });
    };
    ask();
    ask(); // a second server's failure while the first dialog is open
    ASSERT_EQ(m_ui.notices.size(), 1u);
    // Silenced meanwhile (ticked in another session's dialog): an unticked
    // Ok from the dialog still open does not turn it back on.
    m_controller->SetDisplayBonjourMsg(false);
    m_ui.openNotices[0](true, false);
    EXPECT_FALSE(m_controller->GetDisplayBonjourMsg());
    // Closed: the next failure may ask again.
    m_controller->SetDisplayBonjourMsg(true);
    ask();
    ASSERT_EQ(m_ui.notices.size(), 2u);
    m_ui.openNotices[1](true, true);
    EXPECT_FALSE(m_controller->GetDisplayBonjourMsg());
}

TEST_F(ControllerTest, TheAddressesAreReadAgainWhenTheMenuOpens) {
    std::optional<std::vector<std::string>> now = std::vector<std::string>{};
    ControllerOptions options;
    options.computerName = "studio-pc";
    options.addresses = now;
    options.readAddresses = [&] { return now; };
    m_controller = std::make_unique<CPallorwindOSXDlg>(
        m_settings, m_midi, m_ui, ControllerShell{m_tray, m_dialogs, m_desktop, m_updateUi},
        std::move(options));
    Start();
    EXPECT_EQ(Text(kIdAddress), "IP");
    // Started at login before the Wi-Fi was up; it is up when the menu opens.
    now = std::vector<std::string>{"192.0.2.7", "10.1.2.3"};
    m_tray.Open();
    Lines menu = Describe(m_controller->TrayMenu());
    EXPECT_EQ(std::vector<std::string>(menu.begin() + 13, menu.begin() + 17),
              (Lines{"32788 IP: 192.0.2.7 [grayed]", "0 IP: 10.1.2.3 [grayed]", "32792 ----",
                     "32785 About"}));
    // Unchanged: the menu is left as it is. Gone again: "IP" alone again.
    const int changes = m_tray.changes;
    m_tray.Open();
    EXPECT_EQ(m_tray.changes, changes);
    now = std::vector<std::string>{};
    m_tray.Open();
    menu = Describe(m_controller->TrayMenu());
    EXPECT_EQ(menu[13], "32788 IP");
    EXPECT_EQ(menu[14], "32792 ----");
    EXPECT_EQ(menu[15], "32785 About");
}

TEST_F(ControllerTest, TheRegistrationDialogFlagIsReadAndWrittenAsText) {
    m_settings.values = {{kSettingDisplayBonjourMsg, "0"}};
    Start();
    EXPECT_FALSE(m_controller->GetDisplayBonjourMsg());
    const int writes = m_settings.writes;
    m_controller->SetDisplayBonjourMsg(false);
    EXPECT_EQ(m_settings.writes, writes);
    m_controller->SetDisplayBonjourMsg(true);
    EXPECT_EQ(m_settings.values[kSettingDisplayBonjourMsg], "1");
    // The dialog is a notice with its check box; ticked and Ok: not again.
    m_ui.noticeOk = true;
    m_ui.noticeChecked = true;
    bool ok = false, dontShow = false;
    m_controller->AskRegistrationError([&](bool o, bool d) { ok = o, dontShow = d; });
    EXPECT_EQ(m_ui.notices, (std::vector<Box>{{"Could not register Bonjour serrvice",
                                               "Pallorwind Win Bonjour Service Error"}}));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(dontShow);
}

TEST_F(ControllerTest, APackagedCopyLeavesUpdatesToThePackageManagerAndSaysSo) {
    // Checks would run at start and on the command, against an update
    // folder on loopback that counts who asks.
    QTcpServer folder;
    ASSERT_TRUE(folder.listen(QHostAddress::LocalHost));
    int asked = 0;
    QObject::connect(&folder, &QTcpServer::newConnection, [&] {
        while (QTcpSocket* socket = folder.nextPendingConnection()) {
            ++asked;
            socket->close();
        }
    });
    m_settings.values = {
        {kSettingAutoUpdateAtStartup, "1"},
        {kSettingUpdateURL, "http://127.0.0.1:" + std::to_string(folder.serverPort()) + "/"},
        {kSettingDisplayBonjourMsg, "0"}};
    m_packaged = true;
    Start();
    m_ui.boxes.clear(); // the devices' warnings
    m_controller->OnCommand(kIdCheckForUpdates);
    EXPECT_EQ(m_ui.boxes, (std::vector<Box>{{kTextUpdateByPackage, "PallorwindWin"}}));
    SpinUntil([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_EQ(asked, 0);

    // A copy of its own checks at start.
    m_controller.reset();
    m_packaged = false;
    Start();
    EXPECT_TRUE(SpinUntil([&] { return asked > 0; })) << "no check at start";
}

} // namespace
} // namespace pallorwind::win
