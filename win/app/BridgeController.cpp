#include "win/app/BridgeController.h"

#include "protocol/MidiText.h"
#include "win/net/MidiInProc.h"

#include <cstdio>

namespace pallorwind::win {

BridgeController::BridgeController(SettingsStore& settings, midi::MidiSystem& midi,
                                   UserInterface& ui, std::string computerName)
    : m_settings(settings), m_ui(ui), m_computerName(std::move(computerName)),
      m_ports(midi, settings, ui, [this](std::uint32_t word) {
          // The input device's callback, on the MIDI system's thread.
          MidiInProc(nullptr, MIM_DATA, MidiInInstance(this), word, 0);
      }) {
}

BridgeController::~BridgeController() {
    Exit();
}

void BridgeController::Start() {
    const StartupSettings s = ReadStartupSettings(m_settings, m_computerName);
    m_name = s.name;
    m_port = s.port;
    m_displayBonjourMsg = s.displayBonjourMsg;
    m_ports.SetPortNames(s.inMidiPort, s.outMidiPort);
    m_ports.BuildPortLists(m_trayMenu);

    m_clients = 0;
    SetServer(std::make_unique<TCPServer>(this, m_name, m_port, m_advertiser));

    if (!m_ports.OpenInPort(m_ports.InPortName()))
        m_ui.MessageBox(kTextOpenInFailed, kCaption);
    if (!m_ports.OpenOutPort(m_ports.OutPortName()))
        m_ui.MessageBox(kTextOpenOutFailed, kCaption);
    std::fprintf(stderr, "pallorwind: MIDI input \"%s\", output \"%s\"\n",
                 m_ports.InputOpen() ? m_ports.InPortName().c_str() : "(none open)",
                 m_ports.OutputOpen() ? m_ports.OutPortName().c_str() : "(none open)");
}

void BridgeController::Exit() {
    m_ports.CloseDevices();
    DeleteServer();
    m_clients = 0;
}

void BridgeController::OnClientConnected() {
    ++m_clients;
    std::fprintf(stderr, "pallorwind: app connected (%d connected)\n", m_clients);
}

void BridgeController::OnClientDisconnected() {
    --m_clients;
    std::fprintf(stderr, "pallorwind: app disconnected (%d connected)\n", m_clients);
}

void BridgeController::OnServerFailed() {
    DeleteServer();
    m_clients = 0;
    std::fprintf(stderr,
                 "pallorwind: the name \"%s\" is in use; not listening until the name or the "
                 "port is changed\n",
                 m_name.c_str());
}

void BridgeController::SetPort(std::string port) {
    m_port = std::move(port);
    m_settings.WriteSetting(kSettingPort, m_port);
    std::fprintf(stderr, "pallorwind: listening on TCP port %s\n", m_port.c_str());
}

int BridgeController::SendMidiOut(std::uint32_t msg) {
    const int result = m_ports.SendMidiOut(msg);
    // Without an output device nothing can be heard; show what was dropped.
    if (result != 0 && !m_ports.OutputOpen())
        std::fprintf(stderr, "pallorwind: no MIDI output, not played: %s\n",
                     protocol::DescribeShortMessage(msg).c_str());
    return result;
}

void BridgeController::SetDisplayBonjourMsg(bool display) {
    if (display == m_displayBonjourMsg)
        return;
    m_displayBonjourMsg = display;
    m_settings.WriteSetting(kSettingDisplayBonjourMsg, display ? kValueOn : kValueOff);
}

void BridgeController::AskRegistrationError(RegistrationErrorAnswer answer) {
    std::fprintf(stderr, "pallorwind: could not register the DNS-SD service; apps must connect "
                         "by address\n");
    answer(false, false);
}

} // namespace pallorwind::win
