// JackClient, the one JACK client each backend here keeps, and what every
// user of libjack in this layer shares: a semaphore that JACK's threads may
// post, the routing of libjack's messages to our log sinks, and the close of
// a client whose server went away.
#pragma once

#include "platform/midi/MidiDevices.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// JACK's process thread runs in libjack, out of ThreadSanitizer's sight (its
// hand-overs go through the server's semaphores); instrumenting only our part
// of a cycle would just make it late. What it shares with our threads is
// atomics, semaphores and SpscRing.
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

// What one cycle's MIDI may hold on a port. PipeWire's JACK copies a cycle's
// events into a buffer of its own, which takes fewer of them than the JACK
// port buffer does (each costs 16 bytes and its data in 8-byte steps); a
// cycle that does not fit there is dropped whole. On jackd only the port
// buffer limits a cycle.
class CycleRoom {
public:
    CycleRoom() : m_left(PipeWireRoom()) {}
    // Takes room for an event of `size` bytes; false when it does not fit.
    bool Take(std::size_t size) {
        if (m_left < 0)
            return true;
        const long cost = long(16 + ((size + 7) & ~std::size_t(7)));
        if (cost > m_left)
            return false;
        m_left -= cost;
        return true;
    }
    // The whole room, for an event that could never fit.
    static bool Fits(std::size_t size) {
        return PipeWireRoom() < 0 || long(16 + ((size + 7) & ~std::size_t(7))) <= PipeWireRoom();
    }

private:
    // -1 on jackd (no room of its own).
    static long PipeWireRoom();
    long m_left;
};

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

// Quiets may nest: the outer one still holds when an inner one ends.
class Quiet {
public:
    Quiet();
    ~Quiet();
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;

private:
    bool m_was;
};

// Opens a client that never starts a server; null when there is none.
jack_client_t* OpenClient(const std::string& name);

// A client whose server went away is closed on a thread of its own, after
// libjack's own thread has had time to finish with the shutdown. Closing
// while it is still at it has been seen to block inside libjack for good
// (under load), so nobody waits for that close: the flag returned is set once
// it has returned, and no new client should be opened before.
std::shared_ptr<std::atomic<bool>> CloseGoneClientLater(jack_client_t* gone);

// The one JACK client of a backend, kept: opened when a server is there,
// looked for every kRetryInterval while none is, let go when the server goes
// and opened again when it is back, under the same name. Two threads: the
// supervisor (all of that, then the backend's Tend) and a delivery thread
// (the backend's Deliver, whenever the process thread has taken input). The
// backend's ports live on the client; the hooks below make and forget them.
class JackClient : public LogListener {
public:
    void WakeForLog() override { m_wake.Post(); }

protected:
    explicit JackClient(const MidiSystemOptions& options);
    // The derived destructor calls Stop() first.
    ~JackClient() = default;
    JackClient(const JackClient&) = delete;
    JackClient& operator=(const JackClient&) = delete;

    // The first look for a server (on the caller's thread), one line saying
    // what was found, then the threads. `noServerHint` starts the reason in
    // the "none found" line ("no ALSA sequencer, ").
    void Start(const std::string& noServerHint);
    // Joins the threads and closes the client; the hooks are not called
    // afterwards.
    void Stop();

    void Say(const std::string& line) const {
        if (m_log)
            m_log(line);
    }
    void Wake() { m_wake.Post(); }
    // From the process thread: hands each event that came to `port` this
    // cycle to `take`, which copies it for the delivery thread and says
    // whether it did; that thread is woken once when any was taken.
    template <typename Take>
    PALLORWIND_JACK_CYCLE void TakeInput(jack_port_t* port, jack_nframes_t frames, Take take) {
        void* buffer = jack_port_get_buffer(port, frames);
        const std::uint32_t count = jack_midi_get_event_count(buffer);
        bool any = false;
        for (std::uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) == 0 && event.size > 0 && take(event))
                any = true;
        }
        if (any)
            m_input.Post();
    }

    // With m_lock held. Waits until `n` cycles have begun; false when the
    // server stalled or went away first.
    bool WaitCycles(unsigned n);

    // --- The backend's part.
    // With m_lock held, on a client just opened (`client`, named m_name) and
    // not yet active: registers the ports. False gives the client up.
    virtual bool AttachPorts(jack_client_t* client) = 0;
    // With m_lock held: the client is gone or going; forget its ports.
    virtual void DetachPorts() = 0;
    // With m_lock held, right before the client is activated (no process
    // thread runs): what was left for a client before is dropped.
    virtual void BeforeActivate() {}
    // JACK's process thread, each cycle.
    virtual void Cycle(jack_nframes_t frames) = 0;
    // Like a signal handler: the server has gone (m_running is false).
    virtual void ServerGone() {}
    // The delivery thread, after the process thread has taken input.
    virtual void Deliver() = 0;
    // The supervisor, with m_lock held and a client: keeps connections and
    // reports counts; false when something is missing (it looks again soon).
    virtual bool Tend() = 0;
    // The client's ports for the log lines ("ports a:in and a:out"), and
    // what happens after a server came back.
    virtual std::string Describe(bool cameBack) const = 0;

    // The client, on our threads only.
    std::mutex m_lock;
    jack_client_t* m_client = nullptr;
    std::string m_name; // as the server gave it

    // Shared with the process thread.
    std::atomic<bool> m_running{false};
    std::atomic<std::uint32_t> m_cycles{0};
    // Counted on the process thread, told by TellLosses.
    std::atomic<std::uint32_t> m_outLost{0};   // what the "out" port never took
    std::atomic<std::uint32_t> m_inDropped{0}; // input the backend's ring had no room for

    // From Tend: a line for each count above that is not zero, counting in
    // `outUnits` and `inUnits`; the counts start again from zero.
    void TellLosses(const char* outUnits, const char* inUnits);

private:
    bool OpenClient();
    void CloseClient();
    void LetGoneClientGo();
    void Supervise();
    static int Process(jack_nframes_t frames, void* arg);
    static void Shutdown(jack_status_t, const char*, void* arg);
    static void PortRegistered(jack_port_id_t, int, void* arg);

    const std::string m_wanted;
    const MidiLogSink m_log;
    bool m_lost = false; // the server went away once
    bool m_stopped = false;
    std::atomic<bool> m_cycleWaiter{false};
    Semaphore m_cycle;
    Semaphore m_input;
    std::atomic<bool> m_quit{false};
    std::atomic<bool> m_serverGone{false};
    Semaphore m_wake;
    std::thread m_delivery;
    std::thread m_supervisor;
    // Set once the close of a client whose server went away has returned.
    std::shared_ptr<std::atomic<bool>> m_goneClosed;
};

} // namespace pallorwind::midi::jack
