#include "platform/net/AppReader.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <utility>

namespace pallorwind::platform {

void ReadGate::Pause(bool paused) {
    {
        std::lock_guard lock(m_lock);
        if (!paused && m_paused.load(std::memory_order_relaxed))
            ++m_openings;
        m_paused.store(paused, std::memory_order_release);
    }
    if (!paused)
        m_open.notify_all();
}

void ReadGate::WaitOpen(const std::atomic<bool>& stop) {
    if (!Paused())
        return;
    std::unique_lock lock(m_lock);
    const std::uint64_t openings = m_openings;
    m_open.wait(lock, [&] {
        return !Paused() || m_openings != openings || stop.load(std::memory_order_acquire);
    });
}

void ReadGate::Wake() {
    // Under the lock: a reader about to wait either sees the stop or is
    // already waiting when it is woken.
    { std::lock_guard lock(m_lock); }
    m_open.notify_all();
}

AppReader::AppReader(int fd, std::size_t readSize, ReadGate& gate, Received received, Ended ended)
    : m_fd(fd), m_readSize(readSize), m_gate(gate), m_received(std::move(received)),
      m_ended(std::move(ended)) {
}

AppReader::~AppReader() {
    Stop();
}

bool AppReader::Start() {
    if (m_thread.joinable())
        return true;
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        m_startError = errno;
        return false;
    }
    try {
        m_thread = std::thread([this] { Loop(); });
    } catch (const std::system_error& e) {
        m_startError = e.code().value();
        return false;
    }
    return true;
}

void AppReader::Stop() {
    m_stop.store(true, std::memory_order_release);
    // Once only, and only while the owner still keeps the socket open: a
    // later call (a destructor after the socket closed) must not touch a
    // descriptor number that may belong to another file by then.
    if (!m_thread.joinable())
        return;
    // A blocking read returns 0 once the socket's receiving side is shut.
    ::shutdown(m_fd, SHUT_RD);
    m_gate.Wake();
    m_thread.join();
}

void AppReader::Loop() {
    pthread_setname_np(pthread_self(), "app-read"); // as top -H shows it
    const auto buffer = std::make_unique<std::uint8_t[]>(m_readSize);
    for (;;) {
        m_gate.WaitOpen(m_stop);
        if (m_stop.load(std::memory_order_acquire))
            return;
        const long n = ::recv(m_fd, buffer.get(), m_readSize, 0);
        const int error = n < 0 ? errno : 0;
        if (m_stop.load(std::memory_order_acquire))
            return;
        if (n > 0) {
            m_received(buffer.get(), std::size_t(n));
            continue;
        }
        if (n < 0 && error == EINTR)
            continue;
        if (m_ended)
            m_ended(error);
        return;
    }
}

} // namespace pallorwind::platform
