// A test app on loopback: connects to the bridge, writes records and reads
// what the bridge sends, keeping the Qt event loop running while it waits.
#pragma once

#include "tests/support/EventLoop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace pallorwind::test {

class LoopbackApp {
public:
    // `receiveBuffer` > 0 shrinks the socket's receive buffer (a slow app).
    // Without `waitForConnect` the connection is only started; see
    // WaitConnected().
    explicit LoopbackApp(std::uint16_t port, int receiveBuffer = 0, bool waitForConnect = true) {
        m_fd =
            ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (waitForConnect ? 0 : SOCK_NONBLOCK), 0);
        if (receiveBuffer > 0) {
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
            // Segments as on Wi-Fi. Loopback's are up to 64 KiB, and a
            // receive buffer whose free half is smaller than the segments
            // seen may keep its window shut after the app has read it all:
            // the sender then stalls in zero-window probes.
            const int segment = 1460;
            ::setsockopt(m_fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
        }
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (!waitForConnect && m_connected)
            ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
    }

    // For a connection only started: true once the system has completed it
    // (without running the event loop); false if it did not in `timeout`.
    bool WaitConnected(std::chrono::milliseconds timeout) {
        if (m_connected)
            return true;
        pollfd p{m_fd, POLLOUT, 0};
        if (::poll(&p, 1, int(timeout.count())) != 1)
            return false;
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length);
        m_connected = error == 0;
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
        return m_connected;
    }
    ~LoopbackApp() { Close(); }
    LoopbackApp(const LoopbackApp&) = delete;
    LoopbackApp& operator=(const LoopbackApp&) = delete;

    bool Connected() const { return m_connected; }
    int Fd() const { return m_fd; }

    bool Send(const std::vector<std::uint8_t>& bytes) {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == long(bytes.size());
    }

    // One read once something arrived (with the event loop running meanwhile);
    // empty on timeout or end of stream.
    std::string ReadOnce(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::string got;
        PumpUntil(
            [&] {
                pollfd p{m_fd, POLLIN, 0};
                if (::poll(&p, 1, 0) <= 0)
                    return false;
                char buffer[1 << 16];
                const long n = ::recv(m_fd, buffer, sizeof buffer, 0);
                if (n > 0)
                    got.assign(buffer, std::size_t(n));
                else
                    m_eof = true;
                return true;
            },
            timeout);
        return got;
    }

    // Reads until `size` bytes arrived, the stream ended or `timeout` passed.
    std::string ReadExactly(std::size_t size,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string all;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (all.size() < size && !m_eof && std::chrono::steady_clock::now() < end) {
            all += ReadOnce(std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now()));
        }
        return all;
    }

    // True once the bridge has closed the connection.
    bool WaitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!m_eof && std::chrono::steady_clock::now() < end)
            ReadOnce(std::chrono::milliseconds(50));
        return m_eof;
    }

    void ShutdownWrite() { ::shutdown(m_fd, SHUT_WR); }
    // Closes with a reset instead of an orderly shutdown.
    void Abort() {
        linger l{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
    bool m_eof = false;
};

} // namespace pallorwind::test
