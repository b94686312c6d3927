// What every user of libjack in this layer shares: a semaphore that JACK's
// threads may post, the routing of libjack's messages to our log sinks, and
// the close of a client whose server went away.
#pragma once

#include <jack/jack.h>

#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

// JACK's process thread runs in libjack, out of ThreadSanitizer's sight (its
// hand-overs go through the server's semaphores); instrumenting only our part
// of a cycle would just make it late. What it shares with our threads is
// atomics, semaphores and libjack's ring buffers.
#if defined(__SANITIZE_THREAD__)
#define PALLORWIND_JACK_CYCLE __attribute__((no_sanitize("thread")))
#else
#define PALLORWIND_JACK_CYCLE
#endif

namespace pallorwind::midi::jack {

// A server that runs no cycle for this long is taken as stalled or gone.
inline constexpr auto kStallTimeout = std::chrono::milliseconds(1000);
// How long libjack's complaints are held back before they reach the log.
inline constexpr auto kHoldErrors = std::chrono::milliseconds(300);
// How often a server that is not there is looked for.
inline constexpr auto kRetryInterval = std::chrono::milliseconds(500);

// Posted from JACK's threads (sem_post is safe in a real-time thread and in
// the shutdown callback), waited on by ours.
class Semaphore {
public:
    Semaphore() { sem_init(&m_sem, 0, 0); }
    ~Semaphore() { sem_destroy(&m_sem); }
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void Post() { sem_post(&m_sem); }
    void Wait();
    // False when `timeout` passed without a post. The deadline is on the
    // wall clock (sem_timedwait's); a clock step only moves a timeout.
    bool WaitFor(std::chrono::nanoseconds timeout);
    void Drain() {
        while (sem_trywait(&m_sem) == 0) {
        }
    }

private:
    sem_t m_sem;
};

// libjack reports through process-wide functions. What it says while we look
// for a server, connect or close a client is expected (we say what matters in
// one line of our own) and dropped: that is what a Quiet on the stack does for
// its thread. Anything else is held back briefly: when the server goes away
// libjack first complains about its socket, and those lines are dropped too;
// the rest go to the newest listener's log sink. libjack's info lines tell of
// its own workings and are dropped.
class LogListener {
public:
    // Called with a line held: the listener should call TakeHeldErrors soon.
    virtual void WakeForLog() = 0;

protected:
    ~LogListener() = default;
};

void AddLogListener(LogListener* listener);
void RemoveLogListener(LogListener* listener);
bool ErrorsHeld();
void DropHeldErrors();
// The lines held for kHoldErrors, when `listener` is the newest; while its
// client is not running they are dropped instead (they were about that).
std::vector<std::string> TakeHeldErrors(LogListener* listener, bool running);

struct Quiet {
    Quiet();
    ~Quiet();
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;
};

// Opens a client that never starts a server; null when there is none.
jack_client_t* OpenClient(const std::string& name);

// A client whose server went away is closed on a thread of its own, after
// libjack's own thread has had time to finish with the shutdown. Closing
// while it is still at it has been seen to block inside libjack for good
// (under load), so nobody waits for that close: the flag returned is set once
// it has returned, and no new client should be opened before.
std::shared_ptr<std::atomic<bool>> CloseGoneClientLater(jack_client_t* gone);

} // namespace pallorwind::midi::jack
