// The bridge's controller: reads the settings, builds the tray menu with the
// MIDI port lists and the computer's addresses, runs the network service,
// opens the MIDI devices named in the settings, plays the apps' messages on
// the output device and carries out the menu's commands. It is the same in
// every mode; only the tray host, the dialogs and the user interface differ.
#pragma once

#include "platform/app/MainThreadPoster.h"
#include "platform/desktop/Desktop.h"
#include "platform/midi/MidiDevices.h"
#include "platform/ui/Menu.h"
#include "platform/ui/TrayHost.h"
#include "win/app/Dialogs.h"
#include "win/app/MidiPorts.h"
#include "win/app/SettingsStore.h"
#include "win/app/StoredUpdateSettings.h"
#include "win/net/CCommuInterface.h"
#include "win/net/CServerHolder.h"
#include "win/update/UpdateCheck.h"
#include "win/update/UpdateUi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pallorwind::win {

inline constexpr const char* kTextOpenInFailed =
    "Open In Port failed \nPallorwind may not work as expected ";
inline constexpr const char* kTextOpenOutFailed =
    "Open Out Port failed \nPallorwind may not work as expected";
inline constexpr const char* kTextRegistrationError = "Could not register Bonjour serrvice";
inline constexpr const char* kCaptionRegistrationError = "Pallorwind Win Bonjour Service Error";
inline constexpr const char* kTextRegistrationCheckBox = "Do not popup this dialog again";
inline constexpr const char* kTextRegistrationOk = "Ok";
// After the name in the menu while DNS-SD refuses it.
inline constexpr const char* kTextNameInUse = " (in use)";
inline constexpr const char* kTextTrayFailed = "Unable to set tray icon, the program will exit!";
inline constexpr const char* kTrayTip = "Pallorwind WIN";
inline constexpr const char* kWebsiteUrl = "https://www.pallorwind.com/";
// "Check for Updates..." in a copy that the package manager installed.
inline constexpr const char* kTextUpdateByPackage =
    "Pallorwind WIN was installed from a package and is updated with the system: use the "
    "package manager (for example \"sudo apt update && sudo apt upgrade\").";
// The package that installs the programs.
inline constexpr const char* kPackageName = "pallorwind";
// The start-at-login entry.
inline constexpr const char* kLoginItemId = "pallorwind-win";
inline constexpr const char* kLoginItemName = "Pallorwind WIN";

// The tray menu's command ids.
inline constexpr int kIdStatus = 32771;
inline constexpr int kIdName = 32772;
inline constexpr int kIdSetName = 32773;
inline constexpr int kIdSetPort = 32776;
inline constexpr int kIdAutoName = 32781;
inline constexpr int kIdAutoPort = 32782;
inline constexpr int kIdExit = 32784;
inline constexpr int kIdAbout = 32785;
inline constexpr int kIdAutoStart = 32786;
inline constexpr int kIdPort = 32787;
inline constexpr int kIdAddress = 32788; // the first address; further ones have no id
inline constexpr int kIdCheckForUpdates = 32790;
inline constexpr int kIdAddressSeparator = 32792;
inline constexpr int kIdWebsite = 32797;

inline constexpr const char* kTextNoClients = "No Clients";
inline constexpr const char* kTextClientsConnected = " Client connected"; // after the count

// "No Clients", or the count followed by " Client connected".
std::string ClientStatusText(int clients);

// What the controller is told about its surroundings.
struct ControllerOptions {
    std::string computerName; // the default service name
    // The computer's addresses, shown as "IP: " items; nothing when the
    // network interfaces could not be read (the item then stays "IP", with
    // no separator).
    std::optional<std::vector<std::string>> addresses = std::vector<std::string>{};
    // Reads them again, each time the menu is about to open; null: never.
    std::function<std::optional<std::vector<std::string>>()> readAddresses;
    std::string executablePath; // for the start-at-login entry and the updater
    // Runs the start-up update decision (the desktop modes).
    bool startupUpdateCheck = false;
    // Installed by the system's package manager, which updates it: the
    // program does not update itself.
    bool installedByPackage = false;
    // Where "Exit" ends the program (quits the event loop); after the exit
    // sequence has run.
    std::function<void()> quit;
};

// Where the controller shows itself and asks the user.
struct ControllerShell {
    platform::TrayHost& tray;
    Dialogs& dialogs;
    platform::Desktop& desktop;
    UpdateUi& updateUi;
};

class CPallorwindOSXDlg final : public CCommuInterface,
                                public CServerHolder,
                                public RegistrationErrorPrompt {
public:
    CPallorwindOSXDlg(SettingsStore& settings, midi::MidiSystem& midi, platform::UserInterface& ui,
                      ControllerShell shell, ControllerOptions options);
    ~CPallorwindOSXDlg() override;

    // The start-up: update decision, file type, tray icon with its menu,
    // settings, network service, then the input and the output device; a
    // device that cannot be opened is reported (when its result arrives,
    // input first) and the bridge runs on. False when the tray icon could
    // not be shown: the program ends.
    bool Start();
    // Removes the tray icon, lets go of the notes the apps hold, closes the
    // input device, then the output device (waiting a bounded time), then
    // the service.
    void Exit();
    // A command of the tray menu (main thread).
    void OnCommand(int id);
    // The tray menu is about to open (main thread).
    void MenuAboutToShow();

    void OnClientConnected() override;
    void OnClientDisconnected() override;
    // The name was refused: no server until the name or the port changes.
    void OnServerFailed() override;
    void SetPort(std::string port) override;
    int SendMidiOut(std::uint32_t msg) override;
    int SendMidiOutBatch(std::span<const std::uint32_t> msgs) override;
    bool GetDisplayBonjourMsg() override { return m_displayBonjourMsg; }
    void SetDisplayBonjourMsg(bool display) override;
    platform::UserInterface& GetUserInterface() override { return m_ui; }
    // The registration-error dialog, through the user interface.
    void AskRegistrationError(RegistrationErrorAnswer answer) override;

    // How every server the controller builds is advertised (default: not at all).
    void SetAdvertiserFactory(ServiceAdvertiserFactory factory) {
        m_advertiser = std::move(factory);
    }

    MidiPorts& Ports() { return m_ports; }
    const platform::Menu& TrayMenu() const { return m_trayMenu; }
    const std::string& Name() const { return m_name; }
    const std::string& Port() const { return m_port; }
    int Clients() const { return m_clients; }
    // The apps' records are not read while the MIDI output queue is full.
    bool ReadingPaused() const { return m_readGate.Paused(); }
    platform::ReadGate& GetReadGate() override { return m_readGate; }

private:
    void BuildMenu();
    void FillMenu();
    void SetItemText(int id, std::string text);
    void ShowAddresses();
    void SetAuto(int id, bool on);
    void ShowClients(bool changeIcon);
    void RestartServer();
    // What "Choose Name" and "Choose Port" set: the value, its "Auto"
    // switch and the items that show them.
    struct Entry {
        const char* setting;
        const char* autoSetting;
        int itemId;
        int autoId;
        const char* label;
    };
    static const Entry kNameEntry;
    static const Entry kPortEntry;
    // A value typed into one of them: its "Auto" off, stored, shown, and the
    // service built anew with it.
    void TakeEntered(const Entry& entry, std::string& field, std::string value);
    void SetName();
    void AutoName();
    void SetPortCommand();
    void AutoPort();
    void ToggleAutoStart();

    SettingsStore& m_settings;
    StoredUpdateSettings m_updateSettings{m_settings}; // what the update check reads
    platform::UserInterface& m_ui;
    ControllerShell m_shell;
    ControllerOptions m_options;
    std::string m_name;
    std::string m_port = kAnyPort;
    bool m_displayBonjourMsg = true;
    ServiceAdvertiserFactory m_advertiser;
    int m_clients = 0;
    // Shut by whichever thread fills the MIDI output queue, opened by the
    // output thread as it drains; outlives the output thread (m_ports).
    platform::ReadGate m_readGate;
    bool m_exited = false;
    bool m_registrationErrorOpen = false; // the registration-error dialog is open
    platform::Menu m_trayMenu;
    std::optional<std::vector<std::string>> m_addresses; // as the menu shows them
    UpdateCheck m_update;
    // Brings the MIDI output thread's results to the event loop; it outlives
    // the ports, whose replies it carries.
    platform::MainThreadPoster m_poster;
    MidiPorts m_ports; // destroyed before the server: the input stops first
};

} // namespace pallorwind::win
