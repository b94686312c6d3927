#include "win/app/LoggingController.h"

#include "protocol/MidiMessage.h"

#include <cstdio>

std::string DescribeShortMessage(std::uint32_t msg) {
    namespace protocol = pallorwind::protocol;
    std::uint8_t bytes[3];
    const int length = protocol::EncodeShortMessage(msg, bytes);
    std::string text;
    char hex[4];
    for (int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", bytes[i]);
        text += hex;
    }
    static const char* const kChannelKinds[] = {
        "note-off",       "note-on",          "poly-pressure", "control-change",
        "program-change", "channel-pressure", "pitch-bend"};
    const std::uint8_t status = bytes[0];
    if (status >= 0x80 && status < 0xF0) {
        char channel[48];
        std::snprintf(channel, sizeof channel, "  %s ch%d", kChannelKinds[(status >> 4) - 8],
                      (status & 0x0F) + 1);
        text += channel;
    } else if (status >= 0xF0) {
        text += "  system";
    }
    return text;
}

LoggingController::LoggingController(std::string name, std::string port)
    : m_name(std::move(name)), m_port(std::move(port)) {
}

LoggingController::~LoggingController() {
    Exit();
}

void LoggingController::Start() {
    SetServer(std::make_unique<TCPServer>(this, m_name, m_port));
}

void LoggingController::Exit() {
    DeleteServer();
    m_clients = 0;
}

void LoggingController::OnClientConnected() {
    ++m_clients;
    std::fprintf(stderr, "pallorwind: app connected (%d connected)\n", m_clients);
}

void LoggingController::OnClientDisconnected() {
    --m_clients;
    std::fprintf(stderr, "pallorwind: app disconnected (%d connected)\n", m_clients);
}

void LoggingController::SetPort(std::string port) {
    m_port = std::move(port);
    std::fprintf(stderr, "pallorwind: listening on TCP port %s\n", m_port.c_str());
}

int LoggingController::SendMidiOut(std::uint32_t msg) {
    std::fprintf(stderr, "pallorwind: play %s\n", DescribeShortMessage(msg).c_str());
    return 0;
}
