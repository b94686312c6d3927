// Virtual ports on JACK through libjack: one client, and on it the two ports
// of the set that lives. Bytes travel as packets (a 32-bit size, then the
// bytes) through lock-free rings:
// Source: Send writes the packet into a ring; the process callback moves the
// packets that fit into the "out" port each cycle and leaves the rest for the
// next one. Send never waits: a full ring refuses the packet.
// Destination: the process callback copies each event of the "in" port into
// a second ring and wakes a delivery thread, which calls the receiver; the
// receiver may take locks, which the process thread must not.
#include "platform/midi/jack/JackVirtualPorts.h"

#include "platform/midi/SpscRing.h"
#include "platform/midi/jack/JackClient.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace pallorwind::midi {
namespace {

using jack::Quiet;

constexpr std::size_t kOutRingBytes = std::size_t(1) << 16;
constexpr std::size_t kInRingBytes = std::size_t(1) << 18;
// The largest packet Send takes: a quarter of the ring, so that a big
// system exclusive dump does not lock out everything else for long.
constexpr std::size_t kMaxPacket = kOutRingBytes / 4;
// Cycles the ports' removal waits at most for what was sent to go out.
constexpr unsigned kDrainCycles = 8;

struct InHeader {
    std::uint32_t size;
    std::uint32_t generation;
};

using ByteRing = SpscRing<std::uint8_t>;

// Copies a packet's header from the front of `ring` (it is there) without
// taking it.
template <typename Item> void PeekAs(const ByteRing& ring, Item& item) {
    ring.PeekMany(reinterpret_cast<std::uint8_t*>(&item), sizeof item);
}

class VirtualCore final : public jack::JackClient {
public:
    explicit VirtualCore(const MidiSystemOptions& options)
        : JackClient(options), m_outRing(kOutRingBytes), m_inRing(kInRingBytes) {}
    ~VirtualCore() { Stop(); }

    using JackClient::Start;

    bool Add(const std::string& name, VirtualMidiReceive onReceive) {
        std::lock_guard lock(m_lock);
        if (m_hasPorts) {
            Say("MIDI ports \"" + name + "\" refused: the ports \"" + m_portsName +
                "\" are still there");
            return false;
        }
        {
            std::lock_guard deliver(m_deliverLock);
            m_receive = std::move(onReceive);
            m_generation.fetch_add(1, std::memory_order_acq_rel);
        }
        m_hasPorts = true;
        m_portsName = name;
        if (m_client && !RegisterPorts(m_client)) {
            ForgetPorts();
            return false;
        }
        return true;
    }

    // Once this returns the receiver is not running and is never called again.
    void Remove() {
        std::lock_guard lock(m_lock);
        UnregisterPorts();
        ForgetPorts();
    }

    MidiResult Send(const std::uint8_t* bytes, std::size_t size) {
        if (!bytes || size == 0 || size > kMaxPacket)
            return MidiResult::BadMessage;
        std::lock_guard guard(m_sendLock);
        if (!m_running.load(std::memory_order_acquire) ||
            !m_outPort.load(std::memory_order_acquire))
            return MidiResult::NotReady;
        const auto header = std::uint32_t(size);
        return m_outRing.PushWhole(reinterpret_cast<const std::uint8_t*>(&header), sizeof header,
                                   bytes, size)
                   ? MidiResult::Ok
                   : MidiResult::NotReady;
    }

private:
    // Ports asked for while there was no server are made now; ports the
    // server refuses are given up, the client is kept.
    bool AttachPorts(jack_client_t* client) override {
        if (m_hasPorts && !RegisterPorts(client))
            ForgetPorts();
        return true;
    }

    void DetachPorts() override {
        m_inPort.store(nullptr);
        std::lock_guard guard(m_sendLock);
        m_outPort.store(nullptr);
    }

    void BeforeActivate() override {
        // Nothing sent before the server went away is played on its return.
        std::lock_guard guard(m_sendLock);
        m_outRing.Clear();
    }

    std::string Describe(bool) const override { return "client " + m_name; }

    // With m_lock held.
    void ForgetPorts() {
        std::lock_guard deliver(m_deliverLock);
        m_receive = nullptr;
        m_generation.fetch_add(1, std::memory_order_acq_rel);
        m_hasPorts = false;
        m_portsName.clear();
    }

    // With m_lock held.
    bool RegisterPorts(jack_client_t* client) {
        const std::string inName = JackVirtualPortName(m_portsName, m_name, true);
        const std::string outName = JackVirtualPortName(m_portsName, m_name, false);
        jack_port_t* in =
            jack_port_register(client, inName.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        jack_port_t* out = jack_port_register(client, outName.c_str(), JACK_DEFAULT_MIDI_TYPE,
                                              JackPortIsOutput, 0);
        if (!in || !out) {
            Quiet quiet;
            if (in)
                jack_port_unregister(client, in);
            if (out)
                jack_port_unregister(client, out);
            Say("JACK refused the MIDI ports \"" + inName + "\" and \"" + outName + "\"");
            return false;
        }
        m_inPort.store(in, std::memory_order_release);
        {
            std::lock_guard guard(m_sendLock);
            m_outPort.store(out, std::memory_order_release);
        }
        return true;
    }

    // With m_lock held. What was sent goes out first (a bounded wait of a
    // few cycles: the last messages of a closing bridge are its note
    // releases), then the process thread lets go of the ports before they
    // are unregistered.
    void UnregisterPorts() {
        for (unsigned cycle = 0; m_client && cycle < kDrainCycles; ++cycle) {
            if (m_outRing.Size() == 0 || !WaitCycles(1))
                break;
        }
        jack_port_t* in = m_inPort.exchange(nullptr);
        jack_port_t* out;
        {
            std::lock_guard guard(m_sendLock);
            out = m_outPort.exchange(nullptr);
        }
        if (!m_client)
            return;
        WaitCycles(1);
        Quiet quiet;
        if (in)
            jack_port_unregister(m_client, in);
        if (out)
            jack_port_unregister(m_client, out);
    }

    // JACK's process thread: no locks, no allocation, no waiting.
    PALLORWIND_JACK_CYCLE void Cycle(jack_nframes_t frames) override {
        ProcessOut(frames);
        ProcessIn(frames);
    }

    PALLORWIND_JACK_CYCLE void ProcessOut(jack_nframes_t frames) {
        jack_port_t* port = m_outPort.load(std::memory_order_acquire);
        if (!port) {
            // What was sent to ports that are gone is not played.
            m_outRing.Clear();
            return;
        }
        void* buffer = jack_port_get_buffer(port, frames);
        jack_midi_clear_buffer(buffer);
        const std::size_t fits = jack_midi_max_event_size(buffer);
        std::uint32_t size = 0;
        jack::CycleRoom room;
        while (m_outRing.Size() >= sizeof size) {
            PeekAs(m_outRing, size);
            if (size > jack_midi_max_event_size(buffer) || !room.Take(size)) {
                if (size <= fits && jack::CycleRoom::Fits(size))
                    break; // the rest waits for the next cycle
                // Larger than a whole port buffer: it can never go out.
                m_outRing.Pop(sizeof size + size);
                m_outLost.fetch_add(1, std::memory_order_relaxed);
                continue;
            }
            jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, size);
            if (!data)
                break;
            m_outRing.Pop(sizeof size);
            m_outRing.PeekMany(data, size);
            m_outRing.Pop(size);
        }
        if (const std::uint32_t lost = jack_midi_get_lost_event_count(buffer); lost > 0)
            m_outLost.fetch_add(lost, std::memory_order_relaxed);
        if (m_outLost.load(std::memory_order_relaxed) > 0)
            Wake();
    }

    PALLORWIND_JACK_CYCLE void ProcessIn(jack_nframes_t frames) {
        jack_port_t* port = m_inPort.load(std::memory_order_acquire);
        if (!port)
            return;
        const std::uint32_t generation = m_generation.load(std::memory_order_acquire);
        TakeInput(port, frames, [&](const jack_midi_event_t& event) PALLORWIND_JACK_CYCLE {
            const InHeader header{std::uint32_t(event.size), generation};
            if (m_inRing.PushWhole(reinterpret_cast<const std::uint8_t*>(&header), sizeof header,
                                   event.buffer, event.size))
                return true;
            m_inDropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        });
    }

    // The delivery thread: calls the receiver of the ports that live.
    void Deliver() override {
        std::lock_guard deliver(m_deliverLock);
        InHeader header{};
        while (m_inRing.Size() >= sizeof header) {
            PeekAs(m_inRing, header);
            m_inRing.Pop(sizeof header);
            m_bytes.resize(header.size);
            m_inRing.PeekMany(m_bytes.data(), header.size);
            m_inRing.Pop(header.size);
            if (header.generation == m_generation.load(std::memory_order_acquire) && m_receive)
                m_receive(m_bytes.data(), m_bytes.size());
        }
    }

    bool Tend() override {
        TellLosses("packets", "packets");
        return true;
    }

    // The ports asked for, with m_lock held.
    bool m_hasPorts = false;
    std::string m_portsName;

    // Shared with the process thread.
    std::atomic<jack_port_t*> m_inPort{nullptr};
    std::atomic<jack_port_t*> m_outPort{nullptr}; // set with m_sendLock held
    std::atomic<std::uint32_t> m_generation{0};   // of the ports that live

    std::mutex m_sendLock; // one writer of m_outRing at a time
    ByteRing m_outRing;

    ByteRing m_inRing;
    std::mutex m_deliverLock;
    VirtualMidiReceive m_receive;
    std::vector<std::uint8_t> m_bytes; // the packet being delivered
};

class JackVirtualPorts final : public VirtualMidiPorts {
public:
    explicit JackVirtualPorts(std::shared_ptr<VirtualCore> core) : m_core(std::move(core)) {}
    ~JackVirtualPorts() override { m_core->Remove(); }
    MidiResult Send(const std::uint8_t* bytes, std::size_t size) override {
        return m_core->Send(bytes, size);
    }

private:
    std::shared_ptr<VirtualCore> m_core;
};

class JackVirtualSystem final : public VirtualMidiSystem {
public:
    explicit JackVirtualSystem(std::shared_ptr<VirtualCore> core) : m_core(std::move(core)) {}
    std::unique_ptr<VirtualMidiPorts> Create(const std::string& name,
                                             VirtualMidiReceive onReceive) override {
        if (!m_core->Add(name, std::move(onReceive)))
            return nullptr;
        return std::make_unique<JackVirtualPorts>(m_core);
    }

private:
    std::shared_ptr<VirtualCore> m_core;
};

} // namespace

std::string JackVirtualPortName(const std::string& name, const std::string& client, bool input) {
    std::string base = name;
    std::replace(base.begin(), base.end(), ':', '-');
    const std::string suffix = input ? "in" : "out";
    // The full name "client:base suffix" must fit jack_port_name_size()
    // with its terminating zero.
    const std::size_t room = std::size_t(jack_port_name_size()) - 1 - client.size() - 1;
    if (base.empty() || room < suffix.size() + 2)
        return suffix;
    const std::size_t keep = room - suffix.size() - 1;
    if (base.size() > keep) {
        std::size_t cut = keep;
        while (cut > 0 && (std::uint8_t(base[cut]) & 0xC0) == 0x80)
            --cut; // not inside a UTF-8 character
        base.resize(cut);
    }
    return base + " " + suffix;
}

std::unique_ptr<VirtualMidiSystem> CreateJackVirtualSystem(const MidiSystemOptions& options,
                                                           const std::string& noServerHint) {
    auto core = std::make_shared<VirtualCore>(options);
    core->Start(noServerHint);
    return std::make_unique<JackVirtualSystem>(std::move(core));
}

} // namespace pallorwind::midi
