// Bytes on their way to one app, and the thread that writes them. Callers on
// any thread queue whole messages and never wait for the app; the thread
// writes everything queued since its last write in one write, and while the
// app reads slowly it keeps the rest, in order, and waits for room.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace pallorwind::platform {

class AppWriter {
public:
    // What a full queue does with more.
    enum class Overflow {
        // Live MIDI of short messages only: the oldest whole messages make
        // room, since the newest matter most to a player.
        DropOldest,
        // Packets and layouts that must arrive whole: what does not fit is
        // refused whole, and the caller says so.
        RefuseNew,
    };

    // Without a wake-up pipe (descriptors exhausted) a writer waiting for
    // room looks for a stop request this often, in milliseconds.
    static constexpr int kRoomWaitMs = 20;

    // Writes to the connected socket `fd`, which the owner keeps open until
    // Stop() has returned; its writes never block, whatever the socket's mode. `limit` bounds the
    // queue (bytes). `onBroken(errno)` runs on the writer's thread, once, when a write fails for
    // good; nothing is written afterwards.
    AppWriter(int fd, std::size_t limit, Overflow overflow,
              std::function<void(int error)> onBroken = {});
    // Stop().
    ~AppWriter();
    AppWriter(const AppWriter&) = delete;
    AppWriter& operator=(const AppWriter&) = delete;

    // Starts the thread; false when no thread can be made (the caller then
    // closes the app: a connection nobody writes to is half a connection).
    bool Start();
    // Why Start failed (an errno value).
    int StartError() const { return m_startError; }
    // Asks the thread to end and waits for it. Never waits for the app: a
    // write under way is non-blocking, and a wait for room is woken.
    // Unwritten bytes are dropped.
    void Stop();

    // Queues `bytes` whole behind what is queued; any thread. DropOldest:
    // the queue is then cut to its limit at a message boundary (the bytes
    // must be whole short messages); false only once broken or stopped.
    // RefuseNew: false, and nothing queued, when more than `room` bytes
    // would then wait (`room` 0: the limit).
    bool Write(std::string_view bytes, std::size_t room = 0);
    // Changes the queue's bound (DropOldest: applied from the next Write).
    void SetLimit(std::size_t limit);

    // One step of the thread: waits for bytes (or a stop), writes them, and
    // waits for room if the app took only part. False when the thread ends.
    bool SendPending();

    // Bytes queued or taken by the thread and not yet accepted by the system.
    std::size_t Pending();
    // The thread is waiting for the app to make room now.
    bool WaitingForRoom() const { return m_waitingForRoom; }
    // Writes made to the socket.
    std::uint64_t Writes() const { return m_writes; }
    bool Broken();

    // Cuts `queue`, which holds whole short messages, to at most `limit`
    // bytes by dropping its oldest messages.
    static void Trim(std::string& queue, std::size_t limit);

private:
    void WaitForRoom();

    const int m_fd;
    const Overflow m_overflow;
    const std::function<void(int)> m_onBroken;

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::string m_queue;        // guarded by m_lock
    std::size_t m_limit;        // guarded by m_lock
    std::size_t m_inFlight = 0; // guarded by m_lock: taken by the thread, not yet sent
    bool m_broken = false;      // guarded by m_lock
    std::atomic<bool> m_stop{false};

    std::string m_unsent; // the thread's own: taken, not yet accepted
    std::atomic<bool> m_waitingForRoom{false};
    std::atomic<std::uint64_t> m_writes{0};
    int m_wakePipe[2] = {-1, -1};
    int m_startError = 0;
    std::thread m_thread;
};

} // namespace pallorwind::platform
