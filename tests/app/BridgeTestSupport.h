// Helpers for tests of the whole bridge: an app on a loopback socket, a
// recording user interface and waiting while the event loop runs.
#pragma once

#include "win/app/UserInterface.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pallorwind::testing {

using Clock = std::chrono::steady_clock;

// Runs the event loop until `done()` or the timeout; true when done.
template <typename Pred>
bool SpinUntil(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

struct RecordingUi final : app::UserInterface {
    void MessageBox(const std::string& text, const std::string& caption) override {
        boxes.emplace_back(text, caption);
    }
    std::vector<std::pair<std::string, std::string>> boxes;
};

// The phone app's side of one connection: blocking writes, and a thread that
// records every byte the bridge sends with its arrival time.
class AppClient {
public:
    explicit AppClient(std::uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = m_fd >= 0 &&
                      ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (m_connected)
            m_reader = std::thread([this] { Read(); });
    }
    ~AppClient() {
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_reader.joinable())
            m_reader.join();
        ::close(m_fd);
    }
    bool Connected() const { return m_connected; }

    bool Send(const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return true;
    }

    std::size_t ReceivedSize() {
        std::lock_guard lock(m_lock);
        return m_bytes.size();
    }
    std::vector<std::uint8_t> Received() {
        std::lock_guard lock(m_lock);
        return m_bytes;
    }
    std::vector<Clock::time_point> ArrivalTimes() {
        std::lock_guard lock(m_lock);
        return m_times;
    }

private:
    void Read() {
        std::uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            const auto now = Clock::now();
            std::lock_guard lock(m_lock);
            m_bytes.insert(m_bytes.end(), buffer, buffer + n);
            m_times.insert(m_times.end(), std::size_t(n), now);
        }
    }

    int m_fd = -1;
    bool m_connected = false;
    std::thread m_reader;
    std::mutex m_lock;
    std::vector<std::uint8_t> m_bytes;
    std::vector<Clock::time_point> m_times;
};

} // namespace pallorwind::testing
