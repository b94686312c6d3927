#include "platform/net/AppWriter.h"

#include "protocol/MidiMessage.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace pallorwind::platform {

AppWriter::AppWriter(int fd, std::size_t limit, Overflow overflow,
                     std::function<void(int)> onBroken)
    : m_fd(fd), m_overflow(overflow), m_onBroken(std::move(onBroken)), m_limit(limit) {
    // Without it the writer still stops, only a little later (kRoomWaitMs).
    if (::pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        m_wakePipe[0] = m_wakePipe[1] = -1;
}

AppWriter::~AppWriter() {
    Stop();
    for (int fd : m_wakePipe)
        if (fd >= 0)
            ::close(fd);
}

bool AppWriter::Start() {
    if (m_thread.joinable())
        return true;
    try {
        m_thread = std::thread([this] {
            pthread_setname_np(pthread_self(), "app-send");
            while (SendPending()) {
            }
        });
    } catch (const std::system_error& e) {
        m_startError = e.code().value();
        return false;
    }
    return true;
}

void AppWriter::Stop() {
    {
        // Under the lock: a thread about to wait for bytes either sees the
        // request or is already waiting when it is signalled.
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_wakePipe[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const auto n = ::write(m_wakePipe[1], &byte, 1);
    }
    if (m_thread.joinable())
        m_thread.join();
}

bool AppWriter::Write(std::string_view bytes, std::size_t room) {
    bool wake = false;
    {
        std::lock_guard lock(m_lock);
        if (m_broken || m_stop)
            return false;
        if (m_overflow == Overflow::RefuseNew) {
            const std::size_t bound = room ? room : m_limit;
            if (m_queue.size() + m_inFlight + bytes.size() > bound)
                return false;
        }
        wake = m_queue.empty();
        m_queue.append(bytes);
        if (m_overflow == Overflow::DropOldest)
            Trim(m_queue, m_limit);
    }
    // Signalled after the lock is released, so that the woken thread does
    // not wait for it.
    if (wake)
        m_wake.notify_one();
    return true;
}

void AppWriter::SetLimit(std::size_t limit) {
    std::lock_guard lock(m_lock);
    m_limit = limit;
}

std::size_t AppWriter::Pending() {
    std::lock_guard lock(m_lock);
    return m_queue.size() + m_inFlight;
}

bool AppWriter::Broken() {
    std::lock_guard lock(m_lock);
    return m_broken;
}

void AppWriter::Trim(std::string& queue, std::size_t limit) {
    if (queue.size() <= limit)
        return;
    // The queue holds whole messages only, so walking by message length from
    // the front stays on message boundaries.
    std::size_t drop = 0;
    while (queue.size() - drop > limit)
        drop += std::size_t(protocol::MessageLength(std::uint8_t(queue[drop])));
    queue.erase(0, drop);
}

bool AppWriter::SendPending() {
    if (m_unsent.empty()) {
        // An idle app costs nothing: the thread sleeps until bytes are
        // queued for it or it is to end.
        std::unique_lock lock(m_lock);
        m_wake.wait(lock, [&] { return m_stop || !m_queue.empty(); });
        if (m_stop)
            return false;
        m_unsent.swap(m_queue);
        m_queue.clear();
        m_inFlight = m_unsent.size();
    }
    // Everything queued since the last write goes out in one write.
    ++m_writes;
    const long sent = ::send(m_fd, m_unsent.data(), m_unsent.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        const int error = errno;
        {
            std::lock_guard lock(m_lock);
            m_broken = true;
            m_inFlight = 0;
            m_queue.clear();
        }
        m_unsent.clear();
        if (m_onBroken)
            m_onBroken(error);
        return false;
    }
    if (sent > 0)
        m_unsent.erase(0, std::size_t(sent));
    {
        std::lock_guard lock(m_lock);
        m_inFlight = m_unsent.size();
    }
    if (!m_unsent.empty())
        WaitForRoom();
    return !m_stop;
}

// The app is not reading fast enough: wait until it makes room, or until
// the writer is to stop.
void AppWriter::WaitForRoom() {
    m_waitingForRoom = true;
    while (!m_stop) {
        pollfd fds[2] = {{m_fd, POLLOUT, 0}, {m_wakePipe[0], POLLIN, 0}};
        const bool piped = m_wakePipe[0] >= 0;
        const int n = ::poll(fds, piped ? 2 : 1, piped ? -1 : kRoomWaitMs);
        if (n < 0 && errno != EINTR)
            break; // the next send says what is wrong
        if (n > 0 && fds[0].revents != 0)
            break; // room, or an error the next send reports
    }
    m_waitingForRoom = false;
}

} // namespace pallorwind::platform
