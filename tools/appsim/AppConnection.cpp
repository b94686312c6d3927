#include "tools/appsim/AppConnection.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pallorwind::appsim {

namespace {

std::string Describe(const std::string& host, std::uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    // Round up so that a poll never returns before the deadline.
    return left <= 0 ? 0 : int(std::min<long long>(left + 1, 1 << 30));
}

// Connects `fd` (non-blocking) to `address`; an empty string on success,
// otherwise the reason.
std::string ConnectOne(int fd, const addrinfo& address, Clock::time_point deadline) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0)
        return {};
    if (errno != EINPROGRESS)
        return std::strerror(errno);
    pollfd pfd{fd, POLLOUT, 0};
    int ready;
    do
        ready = ::poll(&pfd, 1, MillisecondsLeft(deadline));
    while (ready < 0 && errno == EINTR);
    if (ready < 0)
        return std::strerror(errno);
    if (ready == 0)
        return "timed out";
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0)
        return std::strerror(errno);
    return error == 0 ? std::string() : std::strerror(error);
}

} // namespace

AppConnection::AppConnection(AppConnection&& other) noexcept {
    *this = std::move(other);
}

AppConnection& AppConnection::operator=(AppConnection&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = std::exchange(other.m_fd, -1);
        m_connectedAt = other.m_connectedAt;
        m_peerClosed = other.m_peerClosed;
        m_received = std::move(other.m_received);
        m_reads = std::move(other.m_reads);
        m_messages = std::move(other.m_messages);
        m_splitter = other.m_splitter;
    }
    return *this;
}

AppConnection::~AppConnection() {
    Close();
}

AppConnection AppConnection::Connect(const std::string& host, std::uint16_t port,
                                     const ConnectOptions& options) {
    const std::string where = Describe(host, port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses); rc != 0)
        throw ConnectionError("cannot connect to " + where + ": " + ::gai_strerror(rc));

    const Clock::time_point deadline = Clock::now() + options.timeout;
    std::string reasons;
    AppConnection connection;
    for (const addrinfo* a = addresses; a; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            reasons += std::string(reasons.empty() ? "" : "; ") + std::strerror(errno);
            continue;
        }
        if (options.receiveBuffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer,
                         sizeof options.receiveBuffer);
        const std::string reason = ConnectOne(fd, *a, deadline);
        if (reason.empty()) {
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            connection.m_fd = fd;
            connection.m_connectedAt = Clock::now();
            break;
        }
        ::close(fd);
        char numeric[NI_MAXHOST] = "?";
        ::getnameinfo(a->ai_addr, a->ai_addrlen, numeric, sizeof numeric, nullptr, 0,
                      NI_NUMERICHOST);
        reasons += std::string(reasons.empty() ? "" : "; ") + numeric + ": " + reason;
    }
    ::freeaddrinfo(addresses);
    if (!connection.IsOpen())
        throw ConnectionError("cannot connect to " + where + ": " + reasons);
    return connection;
}

void AppConnection::Send(const void* data, std::size_t size, std::chrono::milliseconds timeout) {
    if (!IsOpen())
        throw ConnectionError("cannot send: not connected");
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t sent = ::send(m_fd, bytes, size, MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            size -= std::size_t(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            throw ConnectionError(std::string("cannot send to the bridge: ") +
                                  std::strerror(errno));
        pollfd pfd{m_fd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, int(timeout.count()));
        if (ready == 0)
            throw ConnectionError("cannot send to the bridge: it has not read for " +
                                  std::to_string(timeout.count()) + " ms");
        if (ready < 0 && errno != EINTR)
            throw ConnectionError(std::string("cannot send to the bridge: ") +
                                  std::strerror(errno));
    }
}

void AppConnection::SendRecord(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    const std::uint8_t record[3] = {status, data1, data2};
    Send(record, sizeof record);
}

AppConnection::ReceiveResult AppConnection::ReceiveOnce(std::chrono::milliseconds timeout) {
    if (!IsOpen() || m_peerClosed)
        return ReceiveResult::Closed;
    pollfd pfd{m_fd, POLLIN, 0};
    int ready;
    const Clock::time_point deadline = Clock::now() + timeout;
    do
        ready = ::poll(&pfd, 1, MillisecondsLeft(deadline));
    while (ready < 0 && errno == EINTR);
    if (ready < 0)
        throw ConnectionError(std::string("cannot wait for the bridge: ") + std::strerror(errno));
    if (ready == 0)
        return ReceiveResult::Timeout;

    bool gotData = false;
    std::uint8_t buffer[65536];
    // A bounded number of reads, so that a bridge sending without pause cannot
    // keep the caller here for ever.
    for (int reads = 0; reads < 16; ++reads) {
        const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (got > 0) {
            const Clock::time_point now = Clock::now();
            m_reads.push_back({now, std::size_t(got)});
            m_received.append(reinterpret_cast<const char*>(buffer), std::size_t(got));
            m_splitter.Feed(buffer, std::size_t(got), now, m_messages);
            gotData = true;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // End of stream, or a reset: either way the bridge is gone.
        m_peerClosed = true;
        break;
    }
    return gotData ? ReceiveResult::Data
                   : (m_peerClosed ? ReceiveResult::Closed : ReceiveResult::Timeout);
}

template <typename Done>
bool AppConnection::ReceiveUntil(Done done, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!done()) {
        if (m_peerClosed)
            return false;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return false;
        ReceiveOnce(left);
    }
    return true;
}

bool AppConnection::ReceiveBytes(std::size_t total, std::chrono::milliseconds timeout) {
    return ReceiveUntil([&] { return m_received.size() >= total; }, timeout);
}

bool AppConnection::ReceiveMessages(std::size_t count, std::chrono::milliseconds timeout) {
    return ReceiveUntil([&] { return m_messages.size() >= count; }, timeout);
}

bool AppConnection::ReceiveUntilClosed(std::chrono::milliseconds timeout) {
    return ReceiveUntil([&] { return m_peerClosed; }, timeout);
}

std::string AppConnection::TakeReceived() {
    std::string taken;
    taken.swap(m_received);
    return taken;
}

std::vector<ReceivedMessage> AppConnection::TakeMessages() {
    std::vector<ReceivedMessage> taken;
    taken.swap(m_messages);
    return taken;
}

void AppConnection::ShutdownSend() {
    if (IsOpen())
        ::shutdown(m_fd, SHUT_WR);
}

void AppConnection::Close() {
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

} // namespace pallorwind::appsim
