#include "platform/midi/jack/JackClient.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <string_view>
#include <thread>
#include <utility>

namespace pallorwind::midi::jack {
namespace {

struct LogRouter {
    std::mutex lock;
    std::vector<LogListener*> listeners; // the newest last
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> held;
};
LogRouter& Router() {
    static LogRouter router;
    return router;
}
thread_local bool t_quiet = false;

void RouteError(const char* text) {
    if (t_quiet)
        return;
    LogRouter& router = Router();
    std::lock_guard guard(router.lock);
    if (router.listeners.empty() || router.held.size() >= 32)
        return;
    router.held.emplace_back(std::chrono::steady_clock::now(), std::string("JACK: ") + text);
    router.listeners.back()->WakeForLog();
}
void DropInfo(const char*) {
}

} // namespace

void Semaphore::Wait() {
    while (sem_wait(&m_sem) != 0 && errno == EINTR) {
    }
}

bool Semaphore::WaitFor(std::chrono::nanoseconds timeout) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const long long ns = deadline.tv_nsec + timeout.count();
    deadline.tv_sec += time_t(ns / 1'000'000'000);
    deadline.tv_nsec = long(ns % 1'000'000'000);
    for (;;) {
        if (sem_timedwait(&m_sem, &deadline) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void AddLogListener(LogListener* listener) {
    static std::once_flag routed;
    std::call_once(routed, [] {
        jack_set_error_function(&RouteError);
        jack_set_info_function(&DropInfo);
    });
    std::lock_guard guard(Router().lock);
    Router().listeners.push_back(listener);
}

void RemoveLogListener(LogListener* listener) {
    std::lock_guard guard(Router().lock);
    auto& listeners = Router().listeners;
    listeners.erase(std::find(listeners.begin(), listeners.end(), listener));
    if (listeners.empty())
        Router().held.clear();
}

bool ErrorsHeld() {
    std::lock_guard guard(Router().lock);
    return !Router().held.empty();
}

void DropHeldErrors() {
    std::lock_guard guard(Router().lock);
    Router().held.clear();
}

std::vector<std::string> TakeHeldErrors(LogListener* listener, bool running) {
    std::vector<std::string> lines;
    std::lock_guard guard(Router().lock);
    auto& held = Router().held;
    if (held.empty() || Router().listeners.back() != listener)
        return lines;
    if (!running) {
        held.clear();
        return lines;
    }
    const auto due = std::chrono::steady_clock::now() - kHoldErrors;
    while (!held.empty() && held.front().first <= due) {
        lines.push_back(std::move(held.front().second));
        held.erase(held.begin());
    }
    return lines;
}

Quiet::Quiet() : m_was(t_quiet) {
    t_quiet = true;
}
Quiet::~Quiet() {
    t_quiet = m_was;
}

jack_client_t* OpenClient(const std::string& name) {
    Quiet quiet;
    jack_status_t status{};
    return jack_client_open(name.c_str(), JackNoStartServer, &status);
}

namespace {
// PipeWire's buffer for a cycle's MIDI, less its header, with some to spare
// (measured: a cycle of 60,000 short messages arrived whole in cycles of this).
constexpr long kPipeWireMidiRoom = 32768 - 1024;
// Read once, before any cycle runs.
const long gPipeWireRoom =
    std::string_view(jack_get_version_string()).find("PipeWire") != std::string_view::npos
        ? kPipeWireMidiRoom
        : -1;
} // namespace

long CycleRoom::PipeWireRoom() {
    return gPipeWireRoom;
}

std::shared_ptr<std::atomic<bool>> CloseGoneClientLater(jack_client_t* gone) {
    auto closed = std::make_shared<std::atomic<bool>>(false);
    std::thread([gone, closed] {
        std::this_thread::sleep_for(kHoldErrors);
        Quiet quiet;
        jack_client_close(gone);
        closed->store(true, std::memory_order_release);
    }).detach();
    return closed;
}

JackClient::JackClient(const MidiSystemOptions& options)
    : m_wanted(options.clientName.empty() ? "midi" : options.clientName), m_log(options.log) {
    AddLogListener(this);
}

void JackClient::Start(const std::string& noServerHint) {
    {
        std::lock_guard lock(m_lock);
        if (OpenClient())
            Say("MIDI system: JACK, " + Describe(false));
        else
            Say("No MIDI system found (" + noServerHint +
                "no JACK server running); MIDI starts when a JACK server does");
    }
    m_delivery = std::thread([this] {
        pthread_setname_np(pthread_self(), "jack-midi-in");
        for (;;) {
            m_input.Wait();
            if (m_quit.load())
                return;
            Deliver();
        }
    });
    m_supervisor = std::thread([this] {
        pthread_setname_np(pthread_self(), "jack-keep");
        Supervise();
    });
}

void JackClient::Stop() {
    if (m_stopped)
        return;
    m_stopped = true;
    m_quit.store(true);
    m_wake.Post();
    m_input.Post();
    if (m_supervisor.joinable())
        m_supervisor.join();
    if (m_delivery.joinable())
        m_delivery.join();
    {
        std::lock_guard lock(m_lock);
        CloseClient();
    }
    RemoveLogListener(this);
}

// With m_lock held. False when there is no server.
bool JackClient::OpenClient() {
    Quiet quiet;
    jack_client_t* client = jack::OpenClient(m_wanted);
    if (!client)
        return false;
    m_name = jack_get_client_name(client);
    if (!AttachPorts(client)) {
        jack_client_close(client);
        return false;
    }
    jack_set_process_callback(client, &JackClient::Process, this);
    // Named once, before its first cycle.
    jack_set_thread_init_callback(
        client, [](void*) { pthread_setname_np(pthread_self(), "jack-cycle"); }, nullptr);
    // jackd calls the first; PipeWire's JACK only the second.
    jack_on_info_shutdown(client, &JackClient::Shutdown, this);
    jack_on_shutdown(
        client, [](void* arg) { JackClient::Shutdown(JackFailure, "", arg); }, this);
    jack_set_port_registration_callback(client, &JackClient::PortRegistered, this);
    BeforeActivate();
    m_running.store(true, std::memory_order_release);
    if (jack_activate(client) != 0) {
        m_running.store(false, std::memory_order_release);
        DetachPorts();
        jack_client_close(client);
        return false;
    }
    m_client = client;
    return true;
}

// With m_lock held.
void JackClient::CloseClient() {
    if (!m_client)
        return;
    m_running.store(false, std::memory_order_release);
    {
        Quiet quiet;
        jack_client_close(m_client);
    }
    m_client = nullptr;
    DetachPorts();
}

// With m_lock held. The server went away: the client is let go at once and
// closed on a thread of its own (CloseGoneClientLater).
void JackClient::LetGoneClientGo() {
    if (!m_client)
        return;
    m_running.store(false, std::memory_order_release);
    jack_client_t* gone = m_client;
    m_client = nullptr;
    DetachPorts();
    m_goneClosed = CloseGoneClientLater(gone);
}

bool JackClient::WaitCycles(unsigned n) {
    const std::uint32_t target = m_cycles.load(std::memory_order_acquire) + n;
    m_cycleWaiter.store(true);
    bool ok = true;
    while (std::int32_t(m_cycles.load(std::memory_order_acquire) - target) < 0) {
        if (!m_running.load(std::memory_order_acquire) ||
            (!m_cycle.WaitFor(kStallTimeout) &&
             std::int32_t(m_cycles.load(std::memory_order_acquire) - target) < 0)) {
            ok = false;
            break;
        }
    }
    m_cycleWaiter.store(false);
    m_cycle.Drain();
    return ok && m_running.load(std::memory_order_acquire);
}

// JACK's process thread: no locks, no allocation, no waiting.
PALLORWIND_JACK_CYCLE int JackClient::Process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<JackClient*>(arg);
    self->m_cycles.fetch_add(1, std::memory_order_acq_rel);
    self->Cycle(frames);
    if (self->m_cycleWaiter.load(std::memory_order_acquire))
        self->m_cycle.Post();
    return 0;
}

// Called by libjack when the server has gone; like a signal handler.
void JackClient::Shutdown(jack_status_t, const char*, void* arg) {
    auto* self = static_cast<JackClient*>(arg);
    self->m_running.store(false, std::memory_order_release);
    self->m_serverGone.store(true, std::memory_order_release);
    self->m_wake.Post();
    self->m_cycle.Post();
    self->ServerGone();
}

void JackClient::TellLosses(const char* outUnits, const char* inUnits) {
    if (const std::uint32_t lost = m_outLost.exchange(0); lost > 0)
        Say("JACK dropped " + std::to_string(lost) + " MIDI " + outUnits + " on output");
    if (const std::uint32_t dropped = m_inDropped.exchange(0); dropped > 0)
        Say("MIDI input overflow: " + std::to_string(dropped) + " " + inUnits + " dropped");
}

void JackClient::PortRegistered(jack_port_id_t, int, void* arg) {
    static_cast<JackClient*>(arg)->m_wake.Post();
}

// The supervisor thread: notices a server that went away, looks for it every
// kRetryInterval until it is back, and lets the backend tend its client.
void JackClient::Supervise() {
    bool complete = true;
    for (;;) {
        bool waitBriefly;
        {
            std::lock_guard lock(m_lock);
            waitBriefly = !m_client || !complete;
        }
        if (ErrorsHeld())
            m_wake.WaitFor(kHoldErrors);
        else if (waitBriefly)
            m_wake.WaitFor(kRetryInterval);
        else
            m_wake.Wait();
        if (m_quit.load())
            return;
        std::lock_guard lock(m_lock);
        if (m_serverGone.exchange(false) && m_client) {
            LetGoneClientGo();
            Say("JACK server stopped; MIDI is refused until it is back");
            m_lost = true;
            DropHeldErrors(); // libjack's words for the same
        }
        // libjack's lines held back for kHoldErrors, unless the server went
        // away meanwhile (then they were about that).
        for (const std::string& line :
             TakeHeldErrors(this, m_running.load(std::memory_order_acquire)))
            Say(line);
        if (!m_client) {
            if ((m_goneClosed && !m_goneClosed->load(std::memory_order_acquire)) || !OpenClient())
                continue;
            Say(std::string(m_lost ? "JACK server is back" : "JACK server found") + "; " +
                Describe(true));
        }
        complete = Tend();
    }
}

} // namespace pallorwind::midi::jack
