// Reads one app's socket on a thread of its own, with blocking reads: the
// records go from the socket to the MIDI output without waking the event
// loop, at the cost of one system call a read. The readers of one server
// share a gate that pauses them all (the MIDI output's back-pressure); a
// paused reader reads nothing, so TCP holds its app back.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace pallorwind::platform {

// Open or shut for every reader that waits on it. Any thread.
class ReadGate {
public:
    void Pause(bool paused);
    bool Paused() const { return m_paused.load(std::memory_order_acquire); }
    // Returns once the gate is open, or has opened since the call began
    // (a reader woken late passes even if the others have shut it again:
    // each gets its turn), or `stop` is set; whoever sets `stop` calls Wake
    // afterwards.
    void WaitOpen(const std::atomic<bool>& stop);
    void Wake();

private:
    std::atomic<bool> m_paused{false};
    std::mutex m_lock;
    std::uint64_t m_openings = 0; // guarded by m_lock
    std::condition_variable m_open;
};

class AppReader {
public:
    // What one read brought, on the reader's thread.
    using Received = std::function<void(const std::uint8_t* data, std::size_t size)>;
    // The app closed its side (0) or the connection failed (an errno value),
    // on the reader's thread, once; not after Stop has begun.
    using Ended = std::function<void(int error)>;

    // Reads the connected socket `fd`, which the owner keeps open until
    // Stop() has returned, in reads of up to `readSize` bytes. The socket is
    // switched to blocking reads: whoever else writes to it must not rely on
    // it being non-blocking.
    AppReader(int fd, std::size_t readSize, ReadGate& gate, Received received, Ended ended);
    // Stop().
    ~AppReader();
    AppReader(const AppReader&) = delete;
    AppReader& operator=(const AppReader&) = delete;

    // False when no thread can be made; StartError() says why (an errno value).
    bool Start();
    int StartError() const { return m_startError; }
    // Ends the reads and waits for the thread: a read under way or a wait at
    // the gate is woken. Nothing more is received afterwards. Later calls do
    // nothing.
    void Stop();

private:
    void Loop();

    const int m_fd;
    const std::size_t m_readSize;
    ReadGate& m_gate;
    const Received m_received;
    const Ended m_ended;
    std::atomic<bool> m_stop{false};
    int m_startError = 0;
    std::thread m_thread;
};

} // namespace pallorwind::platform
