// The bridge's listener: an IPv4 TCP socket on a chosen port (or one the
// system picks) that hands each accepted connection to its delegate as a pair
// of streams, and the DNS-SD service that makes it findable.
#pragma once

#include "osx/AppStreams.h"
#include "platform/dnssd/DnsSd.h"
#include "platform/net/AsyncSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pallorwind::osx {

inline constexpr const char* kTCPServerErrorDomain = "TCPServerErrorDomain";
inline constexpr int kTCPServerCouldNotBindToIPv4Address = 1;
inline constexpr int kTCPServerNoSocketsAvailable = 3;

struct TCPServerError {
    std::string domain;
    int code = 0;
    std::string Text() const;
};

class TCPServer;

// Every message is optional: the defaults do nothing.
class TCPServerDelegate {
public:
    virtual ~TCPServerDelegate() = default;
    // A connection was accepted; streams not kept are closed.
    virtual void DidAcceptConnection(TCPServer& /*server*/,
                                     std::unique_ptr<AppStreams> /*streams*/) {}
    // The service is published under `name` (the service may have renamed it).
    virtual void ServerDidEnableBonjour(TCPServer& /*server*/, const std::string& /*name*/) {}
    // The service could not be published; `error` is the DNS-SD error code.
    virtual void ServerDidNotEnableBonjour(TCPServer& /*server*/, int /*error*/) {}
};

// Registers a service; RegisterDnsSdService, or a stand-in in tests.
using ServicePublisher = platform::DnsSdRegistrar;
ServicePublisher DnsSdPublisher();

class TCPServer {
public:
    explicit TCPServer(ServicePublisher publisher = DnsSdPublisher());
    // Withdraws the service and closes the listening socket; connections
    // already handed out live on.
    ~TCPServer();
    TCPServer(const TCPServer&) = delete;
    TCPServer& operator=(const TCPServer&) = delete;

    // Before Start: the port to bind (0: the system chooses). After: the port bound.
    std::uint16_t Port() const { return m_port; }
    void SetPort(std::uint16_t port) { m_port = port; }
    TCPServerDelegate* Delegate() const { return m_delegate; }
    void SetDelegate(TCPServerDelegate* delegate) { m_delegate = delegate; }

    // Binds and listens. On failure fills `error` (when given) and answers false.
    bool Start(TCPServerError* error);
    // Publishes the listener as `name` of `type` (empty name: the computer's
    // name). False when the type is empty or nothing listens; otherwise the
    // outcome arrives through the delegate. While there is no DNS-SD service,
    // or after it went away, the service is published again as soon as it
    // is back (the delegate hears of each publication).
    bool EnableBonjour(const std::string& domain, const std::string& type, const std::string& name);
    void DisableBonjour();
    bool Stop();
    bool Listening() const;
    bool Publishing() const { return m_netService != nullptr; }
    // How long a silent app is kept; for connections accepted later.
    void SetLinkTimeouts(const platform::LinkTimeouts& timeouts) { m_linkTimeouts = timeouts; }

    // "<TCPServer = 0x0000ABCD | port 50000 | netService = ...>"
    std::string Description() const;

private:
    class Listener;
    void HandleNewConnection();

    TCPServerDelegate* m_delegate = nullptr;
    std::uint16_t m_port = 0;
    std::unique_ptr<Listener> m_ipv4socket;
    ServicePublisher m_publisher;
    std::unique_ptr<platform::KeptDnsSdService> m_netService;
    std::string m_serviceText; // what Description() shows of the service
    platform::LinkTimeouts m_linkTimeouts;
};

} // namespace pallorwind::osx
