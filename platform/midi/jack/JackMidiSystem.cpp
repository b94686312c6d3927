// The MIDI-devices layer on JACK through libjack: one client, two ports, and
// the hand-over between JACK's process thread and the rest of the program.
//
// Output: ShortMsg puts the word into a lock-free ring; the process callback
// moves as many as the port buffer takes into the "out" port each cycle and
// leaves the rest for the next one. A sender facing a full ring sleeps until
// a cycle has drained some of it; TryShortMsg instead says it would wait.
// Nothing wakes the process thread: it looks at the ring every cycle.
// Input: the process callback copies the short messages of the "in" port into
// a second ring and wakes a delivery thread, which calls the device's
// callback; the callback may take locks, which the process thread must not.
#include "platform/midi/jack/JackMidiSystem.h"

#include "platform/midi/SpscRing.h"
#include "platform/midi/jack/JackClient.h"

#include "protocol/MidiMessage.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace pallorwind::midi {
namespace {

using jack::kStallTimeout;
using jack::Quiet;
using jack::Semaphore;

// Words waiting for the process thread: 12 full port buffers (a port buffer
// takes about 2,700 three-byte events), 32 ms at 128 frames and 48 kHz. A
// sender that the system schedules late still finds enough to keep every
// cycle's port buffer full; and what other apps send waits behind no more.
constexpr std::size_t kOutRingWords = std::size_t(1) << 15;
// Messages waiting for the delivery thread.
constexpr std::size_t kInRingEntries = std::size_t(1) << 14;
// A new connection is in effect once two cycles have begun after it.
constexpr unsigned kSettleCycles = 2;

struct InEntry {
    std::uint32_t word;
    std::uint32_t generation;
};

class JackCore final : public jack::JackClient {
public:
    explicit JackCore(const MidiSystemOptions& options)
        : JackClient(options), m_outRing(kOutRingWords), m_inRing(kInRingEntries) {}
    ~JackCore() { Stop(); }

    using JackClient::Start;

    // Other clients' MIDI ports with `flags`, by full name ("client:port").
    std::vector<std::string> Ports(unsigned long flags) {
        std::vector<std::string> names;
        std::lock_guard lock(m_lock);
        if (!m_client)
            return names;
        const char** ports = jack_get_ports(m_client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
        if (!ports)
            return names;
        const std::string own = m_name + ":";
        for (const char** p = ports; *p; ++p)
            if (!std::string_view(*p).starts_with(own))
                names.emplace_back(*p);
        jack_free(ports);
        return names;
    }

    MidiResult OpenOut(const std::string& target) {
        std::lock_guard lock(m_lock);
        if (const MidiResult r = Join(kOut, m_outOpen, target); r != MidiResult::Ok)
            return r;
        m_outActive.store(true, std::memory_order_release);
        if (!WaitCycles(kSettleCycles)) {
            m_outActive.store(false, std::memory_order_release);
            if (m_client)
                Link(kOut, target, false);
            return MidiResult::NotReady;
        }
        m_outOpen = true;
        m_outTarget = target;
        return MidiResult::Ok;
    }

    MidiResult Send(std::uint32_t word) {
        if (!protocol::IsShortStatus(protocol::WordStatus(word)))
            return MidiResult::BadMessage;
        if (!m_running.load(std::memory_order_acquire))
            return MidiResult::NotReady;
        std::lock_guard guard(m_sendLock);
        while (m_outRing.Full()) {
            const std::uint32_t seen = m_cycles.load(std::memory_order_acquire);
            // A server that ran no cycle since it stalled fails at once, so a
            // sender is not held for the whole timeout on every message.
            if (m_stalled && seen == m_stalledAt)
                return MidiResult::NotReady;
            if (!WaitForDrain(seen, [&] { return !m_outRing.Full(); })) {
                m_stalled = true;
                m_stalledAt = seen;
                return MidiResult::NotReady;
            }
            if (!m_running.load(std::memory_order_acquire))
                return MidiResult::NotReady;
        }
        return m_outRing.Push(word) ? MidiResult::Ok : MidiResult::NotReady;
    }

    // Send without the wait: the ring's writer may be busy or the ring full.
    MidiResult TrySend(std::uint32_t word) {
        if (!protocol::IsShortStatus(protocol::WordStatus(word)))
            return MidiResult::BadMessage;
        if (!m_running.load(std::memory_order_acquire))
            return MidiResult::NotReady;
        std::unique_lock guard(m_sendLock, std::try_to_lock);
        return guard && m_outRing.Push(word) ? MidiResult::Ok : MidiResult::WouldWait;
    }

    // Lets what was sent go out, then ends the connection.
    void CloseOut() {
        {
            std::lock_guard guard(m_sendLock);
            while (m_running.load(std::memory_order_acquire) && m_outRing.Size() > 0)
                if (!WaitForDrain(m_cycles.load(std::memory_order_acquire),
                                  [&] { return m_outRing.Size() == 0; }))
                    break;
        }
        std::lock_guard lock(m_lock);
        // The cycle that carried the last messages reaches its readers.
        if (m_client)
            WaitCycles(1);
        m_outActive.store(false, std::memory_order_release);
        if (m_client && !m_outTarget.empty())
            Link(kOut, m_outTarget, false);
        m_outTarget.clear();
        m_outOpen = false;
    }

    MidiResult OpenIn(const std::string& source, MidiInCallback callback) {
        std::lock_guard lock(m_lock);
        if (const MidiResult r = Join(kIn, m_inOpen, source); r != MidiResult::Ok)
            return r;
        {
            std::lock_guard deliver(m_deliverLock);
            m_deliverGeneration = m_inGeneration.fetch_add(1) + 1;
            m_inCallback = std::move(callback);
        }
        if (!WaitCycles(kSettleCycles)) {
            if (m_client)
                Link(kIn, source, false);
            std::lock_guard deliver(m_deliverLock);
            m_inCallback = nullptr;
            return MidiResult::NotReady;
        }
        m_inOpen = true;
        m_inSource = source;
        return MidiResult::Ok;
    }

    void StartIn() { m_inActive.store(true, std::memory_order_release); }

    // Once this returns the callback is not running and is never called again.
    void CloseIn() {
        m_inActive.store(false, std::memory_order_release);
        {
            std::lock_guard deliver(m_deliverLock);
            m_inCallback = nullptr;
            m_deliverGeneration = 0;
        }
        std::lock_guard lock(m_lock);
        if (m_client && !m_inSource.empty())
            Link(kIn, m_inSource, false);
        m_inSource.clear();
        m_inOpen = false;
    }

private:
    bool AttachPorts(jack_client_t* client) override {
        jack_port_t* in =
            jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_port_t* out =
            jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (!in || !out)
            return false;
        m_inPort.store(in, std::memory_order_release);
        m_outPort.store(out, std::memory_order_release);
        return true;
    }

    void DetachPorts() override {
        m_inPort.store(nullptr);
        m_outPort.store(nullptr);
    }

    void BeforeActivate() override {
        // Nothing sent before the server went away is played on its return.
        std::lock_guard guard(m_sendLock);
        m_outRing.Clear();
    }

    std::string Describe(bool cameBack) const override {
        return "ports " + m_name + ":in and " + m_name + ":out" +
               (cameBack ? ", devices reconnect by name" : "");
    }

    // With m_lock held. Connects the open devices' ports that exist and are
    // not yet connected; true when nothing is missing.
    bool EnsureConnections() {
        if (!m_client)
            return false;
        Quiet quiet; // a port that is not (yet) there is expected
        bool complete = true;
        if (!m_outTarget.empty())
            complete &= Connect(kOut, m_outTarget);
        if (!m_inSource.empty())
            complete &= Connect(kIn, m_inSource);
        return complete;
    }

    // Our two ports: "out" sends to the output device, "in" takes from the
    // input device.
    enum Kind : bool { kIn = false, kOut = true };

    // With m_lock held and a client: connects (or disconnects) our port of
    // `kind` with the other client's port `other`; libjack's result.
    int Link(Kind kind, const std::string& other, bool connect) {
        const char* ours = jack_port_name((kind == kOut ? m_outPort : m_inPort).load());
        const char* from = kind == kOut ? ours : other.c_str();
        const char* to = kind == kOut ? other.c_str() : ours;
        return connect ? jack_connect(m_client, from, to) : jack_disconnect(m_client, from, to);
    }
    // With m_lock held and a client: true when our port of `kind` is
    // connected with `other`, now or already. The server is asked every time:
    // the client's own view of the graph changes only when the next cycle
    // begins, so right after a disconnect it still shows the connection.
    bool Connect(Kind kind, const std::string& other) {
        if (!jack_port_by_name(m_client, other.c_str()))
            return false;
        const int r = Link(kind, other, true);
        return r == 0 || r == EEXIST;
    }
    // With m_lock held: the start of opening a device of `kind` (none may be
    // `open`), our port connected with its port `other`.
    MidiResult Join(Kind kind, bool open, const std::string& other) {
        if (!m_client)
            return MidiResult::NotReady;
        if (open)
            return MidiResult::Allocated;
        if (!jack_port_by_name(m_client, other.c_str()))
            return MidiResult::BadDeviceId;
        return Connect(kind, other) ? MidiResult::Ok : MidiResult::Error;
    }

    // With m_sendLock held. Sleeps until `done()` or the process thread has
    // taken words from the ring; false when no cycle ran for kStallTimeout
    // after `seen`.
    template <typename Done> bool WaitForDrain(std::uint32_t seen, Done done) {
        for (;;) {
            // Read-modify-writes on both sides (full barriers) order the
            // flag against the ring's indices: either the process thread
            // sees the flag, or we see what it drained. Were a wake-up lost
            // all the same, the timeout below only delays, it does not fail.
            m_senderWaiting.exchange(true);
            if (done() || !m_running.load(std::memory_order_acquire))
                return true; // the caller looks again
            if (m_space.WaitFor(kStallTimeout))
                return true;
            const std::uint32_t now = m_cycles.load(std::memory_order_acquire);
            if (now == seen)
                return false;
            seen = now;
        }
    }

    // JACK's process thread: no locks, no allocation, no waiting.
    PALLORWIND_JACK_CYCLE void Cycle(jack_nframes_t frames) override {
        ProcessOut(frames);
        ProcessIn(frames);
    }

    PALLORWIND_JACK_CYCLE void ProcessOut(jack_nframes_t frames) {
        jack_port_t* port = m_outPort.load(std::memory_order_acquire);
        if (!port)
            return;
        void* buffer = jack_port_get_buffer(port, frames);
        jack_midi_clear_buffer(buffer);
        if (!m_outActive.load(std::memory_order_acquire)) {
            // No device open: what is left of a closed one is not played.
            m_outRing.Clear();
            return;
        }
        bool drained = false;
        std::uint32_t word = 0;
        jack::CycleRoom room;
        while (m_outRing.Peek(word)) {
            std::uint8_t bytes[3];
            const auto length = std::size_t(protocol::EncodeShortMessage(word, bytes));
            // The port buffer is full: the rest waits for the next cycle.
            if (jack_midi_max_event_size(buffer) < length || !room.Take(length))
                break;
            jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, length);
            if (!data)
                break;
            // Plain stores: under ThreadSanitizer the port buffer stays out of
            // sight, like everything else libjack hands between clients.
            data[0] = bytes[0];
            if (length > 1)
                data[1] = bytes[1];
            if (length > 2)
                data[2] = bytes[2];
            m_outRing.Pop();
            drained = true;
        }
        if (const std::uint32_t lost = jack_midi_get_lost_event_count(buffer); lost > 0) {
            m_outLost.fetch_add(lost, std::memory_order_relaxed);
            Wake();
        }
        // A waiting sender is woken once half the ring is free, so that it
        // refills in one go rather than once a cycle.
        if (drained && m_outRing.Size() <= kOutRingWords / 2 && m_senderWaiting.exchange(false))
            m_space.Post();
    }

    PALLORWIND_JACK_CYCLE void ProcessIn(jack_nframes_t frames) {
        jack_port_t* port = m_inPort.load(std::memory_order_acquire);
        if (!port || !m_inActive.load(std::memory_order_acquire))
            return;
        const std::uint32_t generation = m_inGeneration.load(std::memory_order_acquire);
        TakeInput(port, frames, [&](const jack_midi_event_t& event) PALLORWIND_JACK_CYCLE {
            const std::uint8_t status = event.buffer[0];
            // Short messages only: never SysEx, nor a piece of one.
            if (!protocol::IsShortStatus(status))
                return false;
            const std::size_t length =
                std::min<std::size_t>(event.size, std::size_t(protocol::MessageLength(status)));
            InEntry entry{0, generation};
            for (std::size_t b = 0; b < length; ++b)
                entry.word |= std::uint32_t(event.buffer[b]) << (8 * b);
            if (m_inRing.Push(entry))
                return true;
            m_inDropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        });
    }

    // A sender waiting for room gives up.
    void ServerGone() override { m_space.Post(); }

    // The delivery thread: calls the open input device's callback.
    void Deliver() override {
        std::lock_guard deliver(m_deliverLock);
        InEntry entry{};
        while (m_inRing.Peek(entry)) {
            m_inRing.Pop();
            if (entry.generation == m_deliverGeneration && m_inCallback)
                m_inCallback(entry.word);
        }
    }

    // Keeps the open devices connected by name (a port that comes back is
    // connected again).
    bool Tend() override {
        const bool complete = EnsureConnections();
        TellLosses("events", "messages");
        return complete;
    }

    // The connections, with m_lock held.
    bool m_outOpen = false;
    bool m_inOpen = false;
    std::string m_outTarget;
    std::string m_inSource;

    // Shared with the process thread.
    std::atomic<jack_port_t*> m_inPort{nullptr};
    std::atomic<jack_port_t*> m_outPort{nullptr};

    // Output.
    SpscRing<std::uint32_t> m_outRing;
    std::mutex m_sendLock; // one sender at a time (the ring has one writer)
    bool m_stalled = false;
    std::uint32_t m_stalledAt = 0;
    std::atomic<bool> m_outActive{false};
    std::atomic<bool> m_senderWaiting{false};
    Semaphore m_space;

    // Input.
    SpscRing<InEntry> m_inRing;
    std::atomic<bool> m_inActive{false};
    std::atomic<std::uint32_t> m_inGeneration{0};
    std::mutex m_deliverLock;
    MidiInCallback m_inCallback;
    std::uint32_t m_deliverGeneration = 0;
};

class JackOutDevice final : public MidiOutDevice {
public:
    explicit JackOutDevice(std::shared_ptr<JackCore> core) : m_core(std::move(core)) {}
    ~JackOutDevice() override { m_core->CloseOut(); }
    MidiResult ShortMsg(std::uint32_t word) override { return m_core->Send(word); }
    MidiResult TryShortMsg(std::uint32_t word) override { return m_core->TrySend(word); }

private:
    std::shared_ptr<JackCore> m_core;
};

class JackInDevice final : public MidiInDevice {
public:
    explicit JackInDevice(std::shared_ptr<JackCore> core) : m_core(std::move(core)) {}
    ~JackInDevice() override { m_core->CloseIn(); }
    MidiResult Start() override {
        m_core->StartIn();
        return MidiResult::Ok;
    }

private:
    std::shared_ptr<JackCore> m_core;
};

class JackMidiSystem final : public MidiSystem {
public:
    explicit JackMidiSystem(std::shared_ptr<JackCore> core) : m_core(std::move(core)) {}

    MidiPortList Inputs() override { return List(m_in, JackPortIsOutput); }
    MidiOpened<MidiInDevice> OpenIn(MidiPortIndex port, MidiInCallback callback) override {
        if (port.value >= m_in.size())
            return {nullptr, MidiResult::BadDeviceId};
        const MidiResult r = m_core->OpenIn(m_in[port.value], std::move(callback));
        if (r != MidiResult::Ok)
            return {nullptr, r};
        return {std::make_unique<JackInDevice>(m_core)};
    }

    MidiPortList Outputs() override { return List(m_out, JackPortIsInput); }
    MidiOpened<MidiOutDevice> OpenOut(MidiPortIndex port) override {
        if (port.value >= m_out.size())
            return {nullptr, MidiResult::BadDeviceId};
        const MidiResult r = m_core->OpenOut(m_out[port.value]);
        if (r != MidiResult::Ok)
            return {nullptr, r};
        return {std::make_unique<JackOutDevice>(m_core)};
    }

private:
    // Other clients' ports with `flags`, kept as the snapshot opens go by.
    MidiPortList List(std::vector<std::string>& snapshot, unsigned long flags) {
        snapshot = m_core->Ports(flags);
        MidiPortList ports;
        ports.reserve(snapshot.size());
        for (unsigned i = 0; i < snapshot.size(); ++i)
            ports.push_back({MidiPortIndex{i}, snapshot[i]});
        return ports;
    }

    std::shared_ptr<JackCore> m_core;
    std::vector<std::string> m_in;
    std::vector<std::string> m_out;
};

} // namespace

std::unique_ptr<MidiSystem> CreateJackMidiSystem(const MidiSystemOptions& options,
                                                 const std::string& noServerHint) {
    auto core = std::make_shared<JackCore>(options);
    core->Start(noServerHint);
    return std::make_unique<JackMidiSystem>(std::move(core));
}

} // namespace pallorwind::midi
