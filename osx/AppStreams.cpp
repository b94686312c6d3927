#include "osx/AppStreams.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace pallorwind::osx {

class AppStreams::Socket final : public platform::AsyncSocket {
public:
    std::function<void()> onReceive;
    std::function<void(int)> onClose;

protected:
    void OnReceive(int) override {
        if (onReceive)
            onReceive();
    }
    void OnClose(int error) override {
        if (onClose)
            onClose(error);
    }
};

AppStreams::AppStreams() : m_socket(std::make_unique<Socket>()) {
    m_socket->onReceive = [this] {
        if (m_events.bytesAvailable)
            m_events.bytesAvailable();
    };
    m_socket->onClose = [this](int error) {
        m_atEnd = true;
        if (m_events.ended)
            m_events.ended(error);
    };
}

bool AppStreams::AcceptFrom(platform::AsyncSocket& listener) {
    if (m_writer.joinable() || !listener.Accept(*m_socket))
        return false;
    m_socket->SetNoDelay();
    if (::pipe2(m_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        m_stopPipe[0] = m_stopPipe[1] = -1;
    try {
        m_writer = std::thread([this] { Writer(); });
    } catch (const std::system_error&) {
        // No thread to write with: the connection closes with this object.
        return false;
    }
    return true;
}

AppStreams::~AppStreams() {
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_stopPipe[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const auto n = ::write(m_stopPipe[1], &byte, 1);
    }
    if (m_writer.joinable())
        m_writer.join();
    m_socket->Close();
    for (int fd : m_stopPipe)
        if (fd >= 0)
            ::close(fd);
}

long AppStreams::Read(std::uint8_t* buffer, std::size_t size) {
    const long n = m_socket->Receive(buffer, size);
    if (n == 0)
        m_atEnd = true;
    return n;
}

std::size_t AppStreams::Available() const {
    int count = 0;
    if (::ioctl(m_socket->Handle(), FIONREAD, &count) != 0 || count < 0)
        return 0;
    return std::size_t(count);
}

bool AppStreams::Write(std::string_view bytes, std::size_t room) {
    {
        std::lock_guard lock(m_lock);
        if (m_broken || m_stop || m_queue.size() + m_inFlight + bytes.size() > room)
            return false;
        m_queue.append(bytes);
    }
    m_wake.notify_one();
    return true;
}

std::size_t AppStreams::Pending() {
    std::lock_guard lock(m_lock);
    return m_queue.size() + m_inFlight;
}

void AppStreams::Writer() {
    std::string sending;
    std::unique_lock lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stop || !m_queue.empty(); });
        if (m_stop)
            return;
        sending.swap(m_queue);
        m_queue.clear();
        m_inFlight = sending.size();
        lock.unlock();
        std::size_t done = 0;
        bool broken = false;
        while (done < sending.size()) {
            const long n = m_socket->Send(sending.data() + done, sending.size() - done);
            if (n > 0) {
                done += std::size_t(n);
                continue;
            }
            if (n < 0 && !platform::AsyncSocket::IsWouldBlock(platform::AsyncSocket::LastError())) {
                broken = true;
                break;
            }
            // The app is not reading: wait for room, or for the end.
            pollfd fds[2] = {{m_socket->Handle(), POLLOUT, 0}, {m_stopPipe[0], POLLIN, 0}};
            if (::poll(fds, m_stopPipe[0] >= 0 ? 2 : 1, 50) < 0 && errno != EINTR) {
                broken = true;
                break;
            }
            if (fds[1].revents != 0)
                break;
        }
        lock.lock();
        m_inFlight = 0;
        if (broken)
            m_broken = true;
    }
}

} // namespace pallorwind::osx
