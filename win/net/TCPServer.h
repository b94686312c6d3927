// The bridge's network service: listens for apps, reports the port it got
// and has itself advertised.
#pragma once

#include "win/net/CListenSocket.h"
#include "win/net/CSocketInterface.h"
#include "win/net/ServiceAdvertiser.h"

#include <memory>
#include <string>

namespace pallorwind::win {

class CCommuInterface;

class TCPServer : public CSocketInterface {
public:
    // Binds and listens (falling back to a port the system chooses), reports the
    // port through SetPort and registers the service. Never fails: problems
    // are reported to the user.
    TCPServer(CCommuInterface* pCommu, const std::string& name, std::string port,
              const ServiceAdvertiserFactory& advertiser = {});
    // Withdraws the advertisement, then tears the listener down.
    ~TCPServer() override;

    void OnClientConnected() override;
    void OnClientDisconnected() override;

    CListenSocket& Listener() { return m_listenSocket; }
    bool IsListening() const { return m_listening; }
    const std::string& Port() const { return m_port; }

    // The port text as atoi reads it, modulo 65536.
    static std::uint16_t ParsePort(const std::string& text);

    CCommuInterface* m_pCommu = nullptr;
    CListenSocket m_listenSocket;

private:
    std::unique_ptr<ServiceAdvertiser> m_advertiser;
    std::string m_port;
    bool m_listening = false;
};

} // namespace pallorwind::win
