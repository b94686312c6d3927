#include "osx/TCPServer.h"

#include <cstdio>
#include <utility>

namespace pallorwind::osx {

namespace {
// After an accept failed for want of descriptors, the listener rests this long.
constexpr int kAcceptRestMs = 100;
} // namespace

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

TCPServer::TCPServer(ServicePublisher publisher)
    : m_publisher(std::move(publisher)), m_self(std::make_shared<TCPServer*>(this)) {
}

TCPServer::~TCPServer() {
    *m_self = nullptr;
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
    if (!streams->AcceptFrom(*m_ipv4socket)) {
        if (platform::AsyncSocket::IsOutOfResources(platform::AsyncSocket::LastError()))
            m_ipv4socket->PauseNotices(kAcceptRestMs);
        return;
    }
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
    auto result = m_publisher(
        service, [self = std::weak_ptr<TCPServer*>(m_self)](const platform::DnsSdReply& reply) {
            if (auto server = self.lock(); server && *server)
                (*server)->Published(reply);
        });
    m_serviceText = (domain.empty() ? std::string("local") : domain) + ". " + type + " " + name;
    m_replied = false;
    if (result.error != platform::kDnsSdNoError || !result.registration) {
        // Asked but refused at once: told like a refusal that comes later.
        m_serviceText.clear();
        if (m_delegate)
            m_delegate->ServerDidNotEnableBonjour(*this, result.error);
        return true;
    }
    m_netService = std::move(result.registration);
    return true;
}

void TCPServer::Published(const platform::DnsSdReply& reply) {
    if (!m_delegate)
        return;
    if (reply.error == platform::kDnsSdNoError && reply.fromService) {
        if (!m_replied) {
            m_replied = true;
            m_delegate->ServerDidEnableBonjour(*this, reply.name);
        }
        return;
    }
    m_delegate->ServerDidNotEnableBonjour(*this, reply.error);
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
