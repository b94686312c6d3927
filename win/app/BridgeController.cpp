#include "win/app/BridgeController.h"

#include "protocol/MidiText.h"
#include "win/net/MidiInProc.h"

#include <cstdio>

namespace pallorwind::win {

BridgeController::BridgeController(SettingsStore& settings, midi::MidiSystem& midi,
                                   platform::UserInterface& ui, std::string computerName)
    : m_settings(settings), m_ui(ui), m_computerName(std::move(computerName)),
      m_ports(
          midi, settings, ui,
          [this](std::uint32_t word) {
              // The input device's callback, on the MIDI system's thread.
              MidiInProc(nullptr, MIM_DATA, MidiInInstance(this), word, 0);
          },
          [this](std::function<void()> call) { m_poster.Post(std::move(call)); },
          [this](bool paused) { PauseReading(paused); }) {
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
    RestartServer(this, m_name, m_port, m_advertiser);
    PauseReading(m_readPaused); // a new server starts as the queue stands

    // The results come back in this order, input first.
    m_ports.OpenInPort(m_ports.InPortName(), [this](bool ok) {
        if (!ok)
            m_ui.MessageBox(kTextOpenInFailed, kCaption);
    });
    m_ports.OpenOutPort(m_ports.OutPortName(), [this](bool ok) {
        if (!ok)
            m_ui.MessageBox(kTextOpenOutFailed, kCaption);
        std::fprintf(stderr, "pallorwind: MIDI input \"%s\", output \"%s\"\n",
                     m_ports.InputOpen() ? m_ports.InPortName().c_str() : "(none open)",
                     m_ports.OutputOpen() ? m_ports.OutPortName().c_str() : "(none open)");
    });
}

void BridgeController::PauseReading(bool paused) {
    m_readPaused = paused;
    if (TCPServer* server = Server())
        server->Listener().PauseReading(paused);
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
    // The tray shows the dialog with its "Do not popup this dialog again" box;
    // headless, the request is one line and takes its Cancel answer.
    m_ui.Ask(kTextRegistrationError, kCaptionRegistrationError, platform::QuestionButtons::OkCancel,
             [answer = std::move(answer)](platform::Answer a) {
                 answer(a == platform::Answer::Ok, /*dontShowAgain*/ false);
             });
}

} // namespace pallorwind::win
