#include "win/app/CPallorwindOSXDlg.h"

#include "platform/app/Log.h"
#include "protocol/MidiText.h"
#include "res/Resources.h"
#include "win/net/MidiInProc.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace pallorwind::win {
namespace {

UpdaterEnvironment UpdaterEnvironmentFor(const ControllerOptions& options) {
    UpdaterEnvironment env;
    env.executablePath = options.executablePath;
    std::error_code error;
    env.tempRoot = std::filesystem::temp_directory_path(error).string();
    if (error)
        env.tempRoot = "/tmp";
    return env;
}

platform::HttpClientOptions UpdateHttpOptions() {
    platform::HttpClientOptions http;
    http.userAgent = kUpdateUserAgent;
    return http;
}

} // namespace

const CPallorwindOSXDlg::Entry CPallorwindOSXDlg::kNameEntry{kSettingName, kSettingAutoName,
                                                             kIdName, kIdAutoName, "Name: "};
const CPallorwindOSXDlg::Entry CPallorwindOSXDlg::kPortEntry{kSettingPort, kSettingAutoPort,
                                                             kIdPort, kIdAutoPort, "Port: "};

std::string ClientStatusText(int clients) {
    if (clients == 0)
        return kTextNoClients;
    char count[16];
    std::snprintf(count, sizeof count, "%d", clients);
    return count + std::string(kTextClientsConnected);
}

CPallorwindOSXDlg::CPallorwindOSXDlg(SettingsStore& settings, midi::MidiSystem& midi,
                                     platform::UserInterface& ui, ControllerShell shell,
                                     ControllerOptions options)
    : m_settings(settings), m_ui(ui), m_shell(shell), m_options(std::move(options)),
      m_update(m_shell.updateUi, UpdaterEnvironmentFor(m_options), UpdateHttpOptions()),
      m_ports(
          midi, settings, ui,
          [this](std::uint32_t word) {
              // The input device's callback, on the MIDI system's thread.
              MidiInProc(nullptr, MidiInNotice::MIM_DATA, this, word, 0);
          },
          [this](std::function<void()> call) { m_poster.Post(std::move(call)); },
          [this](bool paused) { m_readGate.Pause(paused); },
          [](std::uint32_t word) {
              // The device is open but its MIDI system does not take messages.
              platform::Log::Linef("MIDI output not ready, not played: %s (nor what follows "
                                   "until it is ready again)",
                                   protocol::DescribeShortMessage(word).c_str());
          }) {
}

CPallorwindOSXDlg::~CPallorwindOSXDlg() {
    Exit();
}

bool CPallorwindOSXDlg::Start() {
    // The update decision comes first; the check itself runs on its worker
    // and tells its results from the event loop.
    if (m_options.startupUpdateCheck && !m_options.installedByPackage)
        StartupUpdateCheck(m_updateSettings, m_shell.updateUi, m_update);
    m_shell.desktop.RegisterFileType(
        {res::kLayoutMimeType, res::kLayoutGlob, res::kLayoutComment, res::kLayoutFileIcon});
    m_clients = 0;
    BuildMenu();
    m_shell.tray.OnMenuAboutToShow([this] { MenuAboutToShow(); });
    if (!m_shell.tray.Add(kTrayTip, m_trayMenu, [this](int id) { OnCommand(id); })) {
        m_ui.MessageBox(kTextTrayFailed, kCaption);
        return false;
    }
    FillMenu();
    m_shell.tray.MenuChanged();

    CServerHolder::RestartServer(this, m_name, m_port, m_advertiser);

    // The results come back in this order, input first.
    m_ports.OpenInPort(m_ports.InPortName(), [this](bool ok) {
        if (!ok)
            m_ui.MessageBox(kTextOpenInFailed, kCaption);
    });
    m_ports.OpenOutPort(m_ports.OutPortName(), [this](bool ok) {
        if (!ok)
            m_ui.MessageBox(kTextOpenOutFailed, kCaption);
        platform::Log::Linef("MIDI input \"%s\", output \"%s\"",
                             m_ports.InputOpen() ? m_ports.InPortName().c_str() : "(none open)",
                             m_ports.OutputOpen() ? m_ports.OutPortName().c_str() : "(none open)");
    });
    return true;
}

// The menu as it is before the settings are read.
void CPallorwindOSXDlg::BuildMenu() {
    platform::Menu& m = m_trayMenu;
    m = platform::Menu();
    m.Append(kIdStatus, kTextNoClients);
    m.AppendSeparator();
    m.Append(kIdName, "Name: ");
    m.Append(kIdSetName, "Set Name");
    m.Append(kIdAutoName, "Auto");
    m.AppendSeparator();
    m.Append(kIdPort, "Port: ");
    m.Append(kIdSetPort, "Set Port");
    m.Append(kIdAutoPort, "Auto");
    m.AppendSeparator();
    m.AppendSeparator(); // the port lists go before this one
    m.Append(kIdAddress, "IP");
    m.Append(kIdAbout, "About");
    m.Append(kIdWebsite, "Website");
    m.Append(kIdCheckForUpdates, "Check for Updates...");
    m.Append(kIdAutoStart, "Auto Start");
    m.Append(kIdExit, "Exit");
}

// The settings, and the menu items that show them.
void CPallorwindOSXDlg::FillMenu() {
    const StartupSettings s = ReadStartupSettings(m_settings, m_options.computerName);
    for (const int id : {kIdStatus, kIdName, kIdPort})
        m_trayMenu.Find(id)->enabled = false;
    m_name = s.name;
    SetItemText(kIdName, "Name: " + m_name);
    SetItemText(kIdPort, "Port: " + s.portShown);
    m_ports.SetPortNames(s.inMidiPort, s.outMidiPort);
    m_ports.BuildPortLists(m_trayMenu);
    if (s.autoName)
        SetAuto(kIdAutoName, true);
    m_port = s.port;
    if (s.autoPort)
        SetAuto(kIdAutoPort, true);
    m_trayMenu.Check(kIdAutoStart, s.autoStart);

    m_addresses = m_options.addresses;
    ShowAddresses();
    m_displayBonjourMsg = s.displayBonjourMsg;
}

// The "IP: " items: the first address on the "IP" item, the others after it
// with no command id (32788 + their position would run into the ids of
// "Check for Updates..." and the separator and, with ten addresses, of
// "Website"), then a separator. Without readable interfaces the item stays
// "IP", with no separator.
void CPallorwindOSXDlg::ShowAddresses() {
    auto& items = m_trayMenu.Items();
    std::erase_if(items, [](const platform::MenuItem& i) {
        return (i.id == 0 && !i.separator && i.text.starts_with("IP: ")) ||
               i.id == kIdAddressSeparator;
    });
    platform::MenuItem* first = m_trayMenu.Find(kIdAddress);
    if (!first)
        return;
    first->text = "IP";
    first->enabled = true;
    if (m_addresses) {
        auto about = [&] {
            return std::find_if(items.begin(), items.end(),
                                [](const platform::MenuItem& i) { return i.id == kIdAbout; });
        };
        const std::vector<std::string>& addresses = *m_addresses;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            if (i == 0) {
                first->text = "IP: " + addresses[0];
                first->enabled = false;
                continue;
            }
            platform::MenuItem item;
            item.text = "IP: " + addresses[i];
            item.enabled = false;
            items.insert(about(), std::move(item));
        }
        platform::MenuItem separator;
        separator.separator = true;
        separator.id = kIdAddressSeparator;
        items.insert(about(), std::move(separator));
    }
    m_shell.tray.MenuChanged();
}

// The menu is about to open: a bridge started before the network was up
// shows the addresses it has now.
void CPallorwindOSXDlg::MenuAboutToShow() {
    if (!m_options.readAddresses)
        return;
    auto addresses = m_options.readAddresses();
    if (addresses == m_addresses)
        return;
    m_addresses = std::move(addresses);
    ShowAddresses();
}

void CPallorwindOSXDlg::SetItemText(int id, std::string text) {
    if (platform::MenuItem* item = m_trayMenu.Find(id))
        item->text = std::move(text);
    m_shell.tray.MenuChanged();
}

// Checks and grays an "Auto" item (on), or unchecks and enables it (off).
void CPallorwindOSXDlg::SetAuto(int id, bool on) {
    if (platform::MenuItem* item = m_trayMenu.Find(id)) {
        item->checked = on;
        item->enabled = !on;
    }
    m_shell.tray.MenuChanged();
}

void CPallorwindOSXDlg::ShowClients(bool changeIcon) {
    SetItemText(kIdStatus, ClientStatusText(m_clients));
    if (changeIcon)
        m_shell.tray.SetIcon(m_clients != 0 ? platform::TrayIcon::Connected
                                            : platform::TrayIcon::Idle);
}

void CPallorwindOSXDlg::OnCommand(int id) {
    if (m_exited)
        return;
    if (IsInputPortCommand(id) || IsOutputPortCommand(id)) {
        m_ports.SelectPort(id);
        m_shell.tray.MenuChanged();
        return;
    }
    switch (id) {
    case kIdSetName:
        SetName();
        break;
    case kIdAutoName:
        AutoName();
        break;
    case kIdSetPort:
        SetPortCommand();
        break;
    case kIdAutoPort:
        AutoPort();
        break;
    case kIdAbout:
        m_shell.dialogs.About();
        break;
    case kIdWebsite:
        m_shell.desktop.OpenUrl(kWebsiteUrl);
        break;
    case kIdCheckForUpdates:
        if (m_options.installedByPackage)
            m_ui.MessageBox(kTextUpdateByPackage, kCaption);
        else
            m_update.Start(m_updateSettings);
        break;
    case kIdAutoStart:
        ToggleAutoStart();
        break;
    case kIdExit:
        Exit();
        if (m_options.quit)
            m_options.quit();
        break;
    default: // the status lines and addresses do nothing
        break;
    }
}

void CPallorwindOSXDlg::SetName() {
    m_shell.dialogs.ChooseName(
        [this](std::string name) { TakeEntered(kNameEntry, m_name, std::move(name)); });
}

void CPallorwindOSXDlg::TakeEntered(const Entry& entry, std::string& field, std::string value) {
    if (m_exited)
        return;
    SetAuto(entry.autoId, false);
    field = std::move(value);
    m_settings.WriteSetting(entry.setting, field);
    m_settings.WriteSetting(entry.autoSetting, kValueOff);
    SetItemText(entry.itemId, entry.label + field);
    RestartServer();
}

void CPallorwindOSXDlg::AutoName() {
    SetAuto(kIdAutoName, true);
    m_settings.WriteSetting(kSettingAutoName, kValueOn);
    if (m_name == m_options.computerName)
        return;
    m_name = m_options.computerName;
    m_settings.WriteSetting(kSettingName, m_name);
    SetItemText(kIdName, "Name: " + m_name);
    RestartServer();
}

void CPallorwindOSXDlg::SetPortCommand() {
    m_shell.dialogs.ChoosePort(
        [this](std::string port) { TakeEntered(kPortEntry, m_port, std::move(port)); });
}

void CPallorwindOSXDlg::AutoPort() {
    SetAuto(kIdAutoPort, true);
    m_settings.WriteSetting(kSettingAutoPort, kValueOn);
    if (m_port == kAnyPort)
        return;
    m_port = std::string(kAnyPort); // GCC 12 -O3 warns falsely on assigning a char*
    RestartServer();                // the service reports its new port through SetPort
}

void CPallorwindOSXDlg::ToggleAutoStart() {
    platform::MenuItem* item = m_trayMenu.Find(kIdAutoStart);
    const bool on = !item->checked;
    item->checked = on;
    m_settings.WriteSetting(kSettingAutoStart, on ? kValueOn : kValueOff);
    m_shell.desktop.SetStartAtLogin({kLoginItemId, kLoginItemName, m_options.executablePath}, on);
    m_shell.tray.MenuChanged();
}

void CPallorwindOSXDlg::RestartServer() {
    SetItemText(kIdName, "Name: " + m_name); // no longer marked as in use
    CServerHolder::RestartServer(this, m_name, m_port, m_advertiser);
    m_clients = 0;
    ShowClients(/*changeIcon*/ true);
}

void CPallorwindOSXDlg::Exit() {
    if (!m_exited)
        m_shell.tray.Remove();
    m_exited = true;
    m_update.Cancel();
    // What the apps hold down is let go before the output closes.
    if (TCPServer* server = Server())
        server->m_listenSocket.ReleaseHeldNotes();
    m_ports.CloseDevices();
    DeleteServer();
    m_clients = 0;
}

void CPallorwindOSXDlg::OnClientConnected() {
    ++m_clients;
    ShowClients(/*changeIcon*/ m_clients != 0);
    platform::Log::Linef("app connected (%d connected)", m_clients);
}

void CPallorwindOSXDlg::OnClientDisconnected() {
    --m_clients;
    ShowClients(/*changeIcon*/ true);
    platform::Log::Linef("app disconnected (%d connected)", m_clients);
}

void CPallorwindOSXDlg::OnServerFailed() {
    DeleteServer();
    // Its apps went with it: none is connected any more.
    m_clients = 0;
    ShowClients(/*changeIcon*/ true);
    // Said once, by the one sink (headless: one line), and shown in the menu
    // until the name or the port changes.
    SetItemText(kIdName, "Name: " + m_name + kTextNameInUse);
    m_ui.MessageBox("The name \"" + m_name +
                        "\" is in use on the network. Nothing listens until another name "
                        "or port is set.",
                    kCaption);
}

void CPallorwindOSXDlg::SetPort(std::string port) {
    m_port = std::move(port);
    m_settings.WriteSetting(kSettingPort, m_port);
    SetItemText(kIdPort, "Port: " + m_port);
    platform::Log::Linef("listening on TCP port %s", m_port.c_str());
}

int CPallorwindOSXDlg::SendMidiOut(std::uint32_t msg) {
    return SendMidiOutBatch(std::span(&msg, 1));
}

int CPallorwindOSXDlg::SendMidiOutBatch(std::span<const std::uint32_t> msgs) {
    const int result = m_ports.SendMidiOut(msgs);
    // Without an output device nothing can be heard; show what was dropped.
    if (result != 0 && !m_ports.OutputOpen())
        for (const std::uint32_t msg : msgs)
            platform::Log::Linef("no MIDI output, not played: %s",
                                 protocol::DescribeShortMessage(msg).c_str());
    return result;
}

void CPallorwindOSXDlg::SetDisplayBonjourMsg(bool display) {
    if (display == m_displayBonjourMsg)
        return;
    m_displayBonjourMsg = display;
    m_settings.WriteSetting(kSettingDisplayBonjourMsg, display ? kValueOn : kValueOff);
}

void CPallorwindOSXDlg::AskRegistrationError(RegistrationErrorAnswer answer) {
    // One at a time: while one is open, later servers' failures ask nothing.
    if (m_registrationErrorOpen)
        return;
    m_registrationErrorOpen = true;
    // On a desktop the dialog with its "Do not popup this dialog again" box;
    // headless, one line that closes without an answer.
    m_ui.Notice(kTextRegistrationError, kCaptionRegistrationError, kTextRegistrationCheckBox,
                kTextRegistrationOk, [this, answer = std::move(answer)](bool ok, bool checked) {
                    m_registrationErrorOpen = false;
                    // An answer can switch the dialog off, never back on.
                    if (ok && checked)
                        answer(ok, checked);
                });
}

} // namespace pallorwind::win
