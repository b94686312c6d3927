#include "win/net/TCPServer.h"

#include "platform/app/Log.h"

#include "win/net/CCommuInterface.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace pallorwind::win {

namespace {

class NoDiscovery : public ServiceAdvertiser {
public:
    bool Register(const std::string&, const std::string& port, CCommuInterface*) override {
        platform::Log::Linef(
            "DNS-SD discovery is not available yet; connect the app to port %s by address",
            port.c_str());
        return false;
    }
};

} // namespace

std::unique_ptr<ServiceAdvertiser> MakeNoDiscovery() {
    return std::make_unique<NoDiscovery>();
}

std::uint16_t TCPServer::ParsePort(const std::string& text) {
    // atoi: leading blanks, an optional sign, then digits up to the first other byte.
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::uint32_t value = 0; // kept modulo 2^32, then taken modulo 65536
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + std::uint32_t(text[i] - '0');
    if (negative)
        value = 0u - value;
    return std::uint16_t(value & 0xFFFF);
}

TCPServer::TCPServer(CCommuInterface* pCommu, const std::string& name, std::string port,
                     const ServiceAdvertiserFactory& advertiser)
    : m_pCommu(pCommu), m_port(std::move(port)) {
    m_listenSocket.m_pCommu = pCommu;
    m_listenSocket.m_pServer = this;

    // Phones that connect together all find room in the queue of pending
    // connections instead of waiting for the system's retry a second later.
    const auto open = [this](std::uint16_t port) {
        return m_listenSocket.Create(port) &&
               m_listenSocket.Listen(pallorwind::platform::AsyncSocket::MaxBacklog());
    };
    bool listening = open(ParsePort(m_port));
    if (!listening) {
        // Typically the port is taken. That shows when binding, or, when
        // another program bound it too and started listening first, only
        // when listening. Either way, let the system choose a free one.
        m_port = std::string("0"); // not = "0": GCC 12 -O3 warns falsely (-Wrestrict)
        listening = open(0);
    }
    std::uint16_t bound = 0;
    if (!listening || !m_listenSocket.GetSockName(bound)) {
        const int error = pallorwind::platform::AsyncSocket::LastError();
        m_listenSocket.Close();
        if (m_pCommu)
            m_pCommu->GetUserInterface().MessageBox(
                std::string("The network service could not be started (") + std::strerror(error) +
                    "). The app cannot connect until the port or the network is changed.",
                kCaption);
        return; // nothing is listening, so nothing is reported or advertised
    }
    m_listening = true;
    char text[16];
    std::snprintf(text, sizeof text, "%d", int(bound));
    m_port = text;
    if (m_pCommu)
        m_pCommu->SetPort(m_port);

    m_advertiser = advertiser ? advertiser() : MakeNoDiscovery();
    if (m_advertiser)
        m_advertiser->Register(name, m_port, m_pCommu);
}

TCPServer::~TCPServer() {
    m_advertiser.reset();
}

void TCPServer::OnClientConnected() {
    if (m_pCommu)
        m_pCommu->OnClientConnected();
}

void TCPServer::OnClientDisconnected() {
    if (m_pCommu)
        m_pCommu->OnClientDisconnected();
}

} // namespace pallorwind::win
