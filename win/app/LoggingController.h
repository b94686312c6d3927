// The headless bridge's controller while the tray program is still to come:
// it runs the network service and logs what the bridge would do.
#pragma once

#include "win/net/CCommuInterface.h"
#include "win/net/CServerHolder.h"

#include <cstdint>
#include <string>

class LoggingController : public CCommuInterface, public CServerHolder {
public:
    LoggingController(std::string name, std::string port);
    ~LoggingController() override;

    void Start();
    // "Exit": deletes the server.
    void Exit();

    void OnClientConnected() override;
    void OnClientDisconnected() override;
    void SetPort(std::string port) override;
    int SendMidiOut(std::uint32_t msg) override;
    bool GetDisplayBonjourMsg() override { return true; }

    int Clients() const { return m_clients; }

private:
    std::string m_name;
    std::string m_port;
    int m_clients = 0;
};

// "90 3C 7F  note-on" style text of one short message, for logs.
std::string DescribeShortMessage(std::uint32_t msg);
