#include "platform/net/AsyncSocket.h"

#include "platform/app/Log.h"

#include <QSocketNotifier>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pallorwind::platform {

namespace {
thread_local int t_lastError = 0;

bool Fail() {
    t_lastError = errno;
    return false;
}
} // namespace

AsyncSocket::AsyncSocket() = default;

AsyncSocket::~AsyncSocket() {
    Close();
}

int AsyncSocket::LastError() {
    return t_lastError;
}

bool AsyncSocket::IsWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

bool AsyncSocket::IsOutOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

bool AsyncSocket::Create(std::uint16_t port) {
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Fail();
    // Lets a restarted server take its port again while old connections linger
    // in TIME_WAIT; it does not let two listeners share a port.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail();
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

bool AsyncSocket::Listen(int backlog) {
    if (::listen(m_fd, backlog) != 0)
        return Fail();
    m_listening = true;
    Watch();
    return true;
}

int AsyncSocket::MaxBacklog() {
    return SOMAXCONN;
}

bool AsyncSocket::GetSockName(std::uint16_t& port) const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return Fail();
    port = ntohs(address.sin_port);
    return true;
}

bool AsyncSocket::Accept(AsyncSocket& client) {
    const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return Fail();
    client.Close();
    client.m_fd = fd;
    client.Watch();
    return true;
}

AsyncSocket::AcceptResult AsyncSocket::AcceptApp(AsyncSocket& client, const LinkTimeouts& timeouts,
                                                 int restMs) {
    if (Accept(client)) {
        m_acceptStarved.Reset();
        client.SetNoDelay();
        client.SetSendBuffer(kAppSendBuffer);
        client.SetLinkTimeouts(timeouts);
        return AcceptResult::Accepted;
    }
    const int error = LastError();
    if (!IsOutOfResources(error))
        return AcceptResult::NoConnection;
    m_acceptStarved.Linef("cannot accept a connection (%s); trying again every %d ms",
                          std::strerror(error), restMs);
    PauseNotices(restMs);
    t_lastError = error;
    return AcceptResult::Starved;
}

long AsyncSocket::Receive(void* buffer, std::size_t size) {
    const long n = ::recv(m_fd, buffer, size, 0);
    if (n < 0)
        Fail();
    return n;
}

long AsyncSocket::Send(const void* data, std::size_t size) {
    const long n = ::send(m_fd, data, size, MSG_NOSIGNAL);
    if (n < 0)
        Fail();
    return n;
}

bool AsyncSocket::WaitWritable(int timeoutMs) const {
    pollfd p{m_fd, POLLOUT, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

void AsyncSocket::SetNoDelay() {
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void AsyncSocket::SetLinkTimeouts(const LinkTimeouts& timeouts) {
    const int on = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, &timeouts.idleSeconds, sizeof(int));
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, &timeouts.intervalSeconds, sizeof(int));
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_KEEPCNT, &timeouts.probes, sizeof(int));
    const unsigned userTimeout = unsigned(timeouts.userTimeoutMs);
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
}

void AsyncSocket::SetSendBuffer(int bytes) {
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void AsyncSocket::PauseNotices(int ms) {
    if (!m_notifier)
        return;
    m_notifier->setEnabled(false);
    if (!m_resume)
        m_resume = std::make_unique<SingleShotTimer>();
    m_resume->Start(std::chrono::milliseconds(ms), [this] {
        if (m_notifier)
            m_notifier->setEnabled(m_readEnabled && !m_peerClosed);
    });
}

void AsyncSocket::SetReadEnabled(bool enabled) {
    m_readEnabled = enabled;
    if (m_notifier)
        m_notifier->setEnabled(enabled && !m_peerClosed);
}

void AsyncSocket::DropNotices() {
    m_resume.reset();
    m_notifier.reset();
}

void AsyncSocket::Close() {
    m_resume.reset();
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_listening = false;
    m_peerClosed = false;
}

void AsyncSocket::Watch() {
    m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    m_notifier->setEnabled(m_readEnabled);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Readable(); });
}

void AsyncSocket::Readable() {
    // A notice already under way when reading was switched off waits too.
    if (!m_readEnabled)
        return;
    if (m_listening) {
        OnAccept(0);
        return;
    }
    // Readable with nothing to read means the peer has closed or failed. The
    // notifier is level-triggered, so it is switched off before reporting.
    char probe;
    const long n = ::recv(m_fd, &probe, 1, MSG_PEEK);
    if (n > 0) {
        OnReceive(0);
        return;
    }
    const int error = n < 0 ? errno : 0;
    if (n < 0 && IsWouldBlock(error))
        return;
    EndNotices();
    OnClose(error);
}

void AsyncSocket::EndNotices() {
    m_peerClosed = true;
    if (m_notifier)
        m_notifier->setEnabled(false);
}

} // namespace pallorwind::platform
