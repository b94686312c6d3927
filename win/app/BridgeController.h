// The headless bridge's controller: reads the settings, runs the network
// service, opens the MIDI devices named in the settings and plays the apps'
// messages on the output device. The tray controller takes its place on a
// desktop.
#pragma once

#include "platform/midi/MidiDevices.h"
#include "platform/net/MainThreadPoster.h"
#include "platform/ui/Menu.h"
#include "win/app/MidiPorts.h"
#include "win/app/SettingsStore.h"
#include "win/net/CCommuInterface.h"
#include "win/net/CServerHolder.h"

#include <cstdint>
#include <string>

namespace pallorwind::win {

inline constexpr const char* kTextOpenInFailed =
    "Open In Port failed \nPallorwind may not work as expected ";
inline constexpr const char* kTextOpenOutFailed =
    "Open Out Port failed \nPallorwind may not work as expected";
inline constexpr const char* kTextRegistrationError = "Could not register Bonjour serrvice";
inline constexpr const char* kCaptionRegistrationError = "Pallorwind Win Bonjour Service Error";

class BridgeController final : public CCommuInterface,
                               public CServerHolder,
                               public RegistrationErrorPrompt {
public:
    BridgeController(SettingsStore& settings, midi::MidiSystem& midi, platform::UserInterface& ui,
                     std::string computerName);
    ~BridgeController() override;

    // Settings, port lists, network service, then the input and the output
    // device; a device that cannot be opened is reported (when its result
    // arrives, input first) and the bridge runs on.
    void Start();
    // Closes the input device, then the output device (waiting a bounded
    // time), then the service.
    void Exit();

    void OnClientConnected() override;
    void OnClientDisconnected() override;
    // The name was refused: no server until the name or the port changes.
    void OnServerFailed() override;
    void SetPort(std::string port) override;
    int SendMidiOut(std::uint32_t msg) override;
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
    platform::Menu& TrayMenu() { return m_trayMenu; }
    const std::string& Name() const { return m_name; }
    const std::string& Port() const { return m_port; }
    int Clients() const { return m_clients; }
    // The apps' records are not read while the MIDI output queue is full.
    bool ReadingPaused() const { return m_readPaused; }

private:
    void PauseReading(bool paused);

    SettingsStore& m_settings;
    platform::UserInterface& m_ui;
    std::string m_computerName;
    std::string m_name;
    std::string m_port = kAnyPort;
    bool m_displayBonjourMsg = true;
    ServiceAdvertiserFactory m_advertiser;
    int m_clients = 0;
    bool m_readPaused = false;
    platform::Menu m_trayMenu;
    // Brings the MIDI output thread's results to the event loop; it outlives
    // the ports, whose replies it carries.
    platform::MainThreadPoster m_poster;
    MidiPorts m_ports; // destroyed before the server: the input stops first
};

} // namespace pallorwind::win
