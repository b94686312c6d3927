#include "osx/TCPServer.h"

#include <cstdio>
#include <utility>

namespace pallorwind::osx {

std::string TCPServerError::Text() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code);
}

ServicePublisher DnsSdPublisher() {
    return [](const platform::DnsSdService& service, platform::DnsSdReplyHandler onReply) {
        return platform::RegisterDnsSdService(service, std::move(onReply));
    };
}

class TCPServer::Listener final : public platform::AsyncSocket {
public:
    explicit Listener(TCPServer& server) : m_server(server) {}

protected:
    void OnAccept(int) override { m_server.HandleNewConnection(); }

private:
    TCPServer& m_server;
};

TCPServer::TCPServer(ServicePublisher publisher) : m_publisher(std::move(publisher)) {
}

TCPServer::~TCPServer() {
    Stop();
}

bool TCPServer::Start(TCPServerError* error) {
    auto fail = [&](int code) {
        if (error)
            *error = {kTCPServerErrorDomain, code};
        m_ipv4socket.reset();
        return false;
    };
    m_ipv4socket = std::make_unique<Listener>(*this);
    // Create() makes the socket, allows address reuse and binds; a socket
    // that cannot be made fails for want of descriptors or memory.
    if (!m_ipv4socket->Create(m_port)) {
        const bool noSocket =
            platform::AsyncSocket::IsOutOfResources(platform::AsyncSocket::LastError());
        return fail(noSocket ? kTCPServerNoSocketsAvailable : kTCPServerCouldNotBindToIPv4Address);
    }
    if (!m_ipv4socket->Listen(platform::AsyncSocket::MaxBacklog()))
        return fail(kTCPServerCouldNotBindToIPv4Address);
    std::uint16_t bound = 0;
    if (!m_ipv4socket->GetSockName(bound))
        return fail(kTCPServerCouldNotBindToIPv4Address);
    m_port = bound;
    return true;
}

bool TCPServer::Listening() const {
    return m_ipv4socket && m_ipv4socket->IsOpen();
}

void TCPServer::HandleNewConnection() {
    auto streams = std::make_unique<AppStreams>();
    if (!streams->AcceptFrom(*m_ipv4socket, m_linkTimeouts))
        return;
    // Last: the delegate may release this server.
    if (m_delegate)
        m_delegate->DidAcceptConnection(*this, std::move(streams));
}

bool TCPServer::EnableBonjour(const std::string& domain, const std::string& type,
                              const std::string& name) {
    if (type.empty() || !Listening())
        return false;
    DisableBonjour();
    platform::DnsSdService service;
    service.name = name;
    service.type = type;
    service.port = m_port;
    // The delegate may release this server from inside each of these.
    platform::KeptDnsSdService::Events events;
    events.registered = [this](const std::string& published) {
        if (m_delegate)
            m_delegate->ServerDidEnableBonjour(*this, published);
    };
    events.waiting = [this](int error, bool) {
        if (m_delegate)
            m_delegate->ServerDidNotEnableBonjour(*this, error);
    };
    events.refused = [this](int error) {
        if (m_delegate)
            m_delegate->ServerDidNotEnableBonjour(*this, error);
    };
    m_netService = std::make_unique<platform::KeptDnsSdService>(std::move(service),
                                                                std::move(events), m_publisher);
    m_serviceText = (domain.empty() ? std::string("local") : domain) + ". " + type + " " + name;
    m_netService->Start();
    return true;
}

void TCPServer::DisableBonjour() {
    m_netService.reset();
    m_serviceText.clear();
}

bool TCPServer::Stop() {
    DisableBonjour();
    m_ipv4socket.reset();
    return true;
}

std::string TCPServer::Description() const {
    char text[160];
    std::snprintf(text, sizeof text, "<TCPServer = 0x%08X | port %d | netService = %s>",
                  unsigned(reinterpret_cast<std::uintptr_t>(this)), int(m_port),
                  m_serviceText.empty() ? "(null)" : m_serviceText.c_str());
    return text;
}

} // namespace pallorwind::osx
