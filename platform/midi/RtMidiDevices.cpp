// The MIDI-devices layer over RtMidi: the ALSA sequencer where it exists,
// otherwise JACK.
#include "platform/midi/DeviceNames.h"
#include "platform/midi/JackCycleClock.h"
#include "platform/midi/MidiDevices.h"
#include "protocol/MidiMessage.h"

#include <rtmidi/RtMidi.h>

#include <atomic>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace pallorwind::midi {
namespace {

// Events handed to JACK per process cycle. Measured with the dummy backend at
// 128 frames: a port buffer takes 2,727 three-byte events per cycle and drops
// the rest. RtMidi drains its output ring once per cycle, and between two
// drains the sender may fill two of our windows, so 1,000 keeps one drain
// well below that (and below the ring's 16 KiB: 2,000 x 7 bytes).
constexpr unsigned kJackEventsPerCycle = 1000;
// A server that runs no cycle for this long is taken as stalled or gone.
constexpr std::chrono::milliseconds kJackStallTimeout{1000};

const std::string kClient(kOwnClientName);

void QuietErrors(RtMidiError::Type, const std::string&, void* flag) {
    if (flag)
        static_cast<std::atomic<bool>*>(flag)->store(true);
}

RtMidi::Api ToRtApi(MidiApi api) {
    return api == MidiApi::Alsa ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

MidiApi ChooseApi(MidiApi api) {
    if (api == MidiApi::FromEnvironment) {
        const char* env = std::getenv("PALLORWIND_MIDI_API");
        const std::string_view choice = env ? env : "";
        api = choice == "jack" ? MidiApi::Jack : choice == "alsa" ? MidiApi::Alsa : MidiApi::Auto;
    }
    if (api != MidiApi::Auto)
        return api;
    // RtMidi's own choice would give up when the ALSA sequencer is missing,
    // even with a JACK server running; so try ALSA ourselves (quietly, when
    // there is no sequencer device at all).
    if (access("/dev/snd/seq", F_OK) != 0)
        return MidiApi::Jack;
    try {
        RtMidiIn probe(RtMidi::LINUX_ALSA, kClient);
        return MidiApi::Alsa;
    } catch (const RtMidiError&) {
        return MidiApi::Jack;
    }
}

// One device as counted, by the name we show; empty when RtMidi could not
// name it (the query failed).
struct Device {
    std::string name;
};

template <typename Rt> std::vector<Device> Enumerate(Rt& rt, MidiApi api) {
    std::vector<Device> devices;
    const unsigned n = rt.getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        const std::string raw = rt.getPortName(i);
        if (IsOwnPort(raw))
            continue;
        devices.push_back({api == MidiApi::Alsa ? StripAlsaAddress(raw) : raw});
    }
    return devices;
}

// RtMidi's index now of the device at `index` in `snapshot`: the same name,
// the same occurrence of it (indices shift when other devices come and go).
template <typename Rt>
bool FindCurrent(Rt& rt, MidiApi api, const std::vector<Device>& snapshot, unsigned index,
                 unsigned& rtIndex) {
    const std::string& wanted = snapshot[index].name;
    unsigned occurrence = 0;
    for (unsigned i = 0; i < index; ++i)
        occurrence += snapshot[i].name == wanted;
    const unsigned n = rt.getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        const std::string raw = rt.getPortName(i);
        if (IsOwnPort(raw))
            continue;
        if ((api == MidiApi::Alsa ? StripAlsaAddress(raw) : raw) != wanted)
            continue;
        if (occurrence-- == 0) {
            rtIndex = i;
            return true;
        }
    }
    return false;
}

class RtInDevice final : public MidiInDevice {
public:
    RtInDevice(MidiApi api, MidiInCallback callback)
        : m_callback(std::move(callback)), m_in(ToRtApi(api), kClient) {
        m_in.setErrorCallback(&QuietErrors, &m_failed);
        m_in.ignoreTypes(/*sysex*/ true, /*timing*/ false, /*sensing*/ false);
        m_in.setCallback(&RtInDevice::Deliver, this);
    }
    ~RtInDevice() override {
        m_started.store(false);
        m_in.closePort();
        // m_in is destroyed first (declared last): closing its client waits
        // for the MIDI thread, so no callback outlives this object.
    }

    bool Open(unsigned rtIndex) {
        m_in.openPort(rtIndex, "in");
        return !m_failed.load() && m_in.isPortOpen();
    }

    MidiResult Start() override {
        m_started.store(true, std::memory_order_release);
        return kMidiOk;
    }

private:
    static void Deliver(double, std::vector<unsigned char>* message, void* self) {
        auto* device = static_cast<RtInDevice*>(self);
        if (!device->m_started.load(std::memory_order_acquire) || message->empty())
            return;
        const std::uint8_t status = (*message)[0];
        // Only short messages: never SysEx, nor the pieces of one.
        if (status < 0x80 || status == 0xF0 || status == 0xF7)
            return;
        const std::size_t length =
            std::min<std::size_t>(message->size(), std::size_t(protocol::MessageLength(status)));
        std::uint32_t word = 0;
        for (std::size_t i = 0; i < length; ++i)
            word |= std::uint32_t((*message)[i]) << (8 * i);
        device->m_callback(word);
    }

    MidiInCallback m_callback;
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_failed{false};
    RtMidiIn m_in;
};

class RtOutDevice final : public MidiOutDevice {
    static constexpr std::chrono::milliseconds kCloseWait{200};

public:
    RtOutDevice(MidiApi api, std::shared_ptr<JackCycleClock> clock)
        : m_clock(std::move(clock)), m_out(ToRtApi(api), kClient) {
        m_out.setErrorCallback(&QuietErrors, &m_failed);
        if (m_clock)
            m_pacer.emplace(*m_clock, kJackEventsPerCycle, kJackStallTimeout);
    }
    ~RtOutDevice() override {
        m_out.closePort();
        // RtMidi's JACK output frees its ring buffer before it closes its JACK
        // client, so a process cycle still under way would read freed memory.
        // With the port closed no new cycle touches the buffer; two cycle
        // boundaries later the one in flight has finished too.
        if (m_clock) {
            const std::uint32_t seen = m_clock->Cycles();
            if (m_clock->WaitPast(seen, kCloseWait))
                m_clock->WaitPast(seen + 1, kCloseWait);
        }
    }

    bool Open(unsigned rtIndex) {
        m_out.openPort(rtIndex, "out");
        return !m_failed.load() && m_out.isPortOpen();
    }

    MidiResult ShortMsg(std::uint32_t word) override {
        const std::uint8_t status = protocol::WordStatus(word);
        if (status < 0x80 || status == 0xF0 || status == 0xF7)
            return kMidiBadMessage;
        // JACK is never handed more than a port buffer holds in one cycle.
        if (m_pacer) {
            if (const MidiResult r = m_pacer->Admit(); r != kMidiOk)
                return r;
        }
        std::uint8_t bytes[3];
        const int length = protocol::EncodeShortMessage(word, bytes);
        m_failed.store(false);
        m_out.sendMessage(bytes, std::size_t(length));
        return m_failed.load() ? kMidiError : kMidiOk;
    }

private:
    std::shared_ptr<JackCycleClock> m_clock;
    std::optional<OutputPacer> m_pacer;
    std::atomic<bool> m_failed{false};
    RtMidiOut m_out;
};

class RtMidiSystem final : public MidiSystem {
public:
    explicit RtMidiSystem(MidiApi api) : m_api(api) {}

    unsigned InCount() override {
        if (!Probe(m_inProbe))
            return 0;
        m_in = Enumerate(*m_inProbe, m_api);
        return unsigned(m_in.size());
    }
    MidiResult InName(unsigned index, std::string& name) override {
        return NameOf(m_in, index, name);
    }
    MidiResult OpenIn(unsigned index, MidiInCallback callback,
                      std::unique_ptr<MidiInDevice>& device) override {
        unsigned rtIndex = 0;
        if (index >= m_in.size() || m_in[index].name.empty() || !Probe(m_inProbe) ||
            !FindCurrent(*m_inProbe, m_api, m_in, index, rtIndex))
            return kMidiBadDeviceId;
        try {
            auto in = std::make_unique<RtInDevice>(m_api, std::move(callback));
            if (!in->Open(rtIndex) || !Settle())
                return kMidiError;
            device = std::move(in);
            return kMidiOk;
        } catch (const RtMidiError&) {
            return kMidiError;
        }
    }

    unsigned OutCount() override {
        if (!Probe(m_outProbe))
            return 0;
        m_out = Enumerate(*m_outProbe, m_api);
        return unsigned(m_out.size());
    }
    MidiResult OutName(unsigned index, std::string& name) override {
        return NameOf(m_out, index, name);
    }
    MidiResult OpenOut(unsigned index, std::unique_ptr<MidiOutDevice>& device) override {
        unsigned rtIndex = 0;
        if (index >= m_out.size() || m_out[index].name.empty() || !Probe(m_outProbe) ||
            !FindCurrent(*m_outProbe, m_api, m_out, index, rtIndex))
            return kMidiBadDeviceId;
        try {
            std::shared_ptr<JackCycleClock> clock;
            if (m_api == MidiApi::Jack && !(clock = Clock()))
                return kMidiError;
            auto out = std::make_unique<RtOutDevice>(m_api, std::move(clock));
            if (!out->Open(rtIndex) || !Settle())
                return kMidiError;
            device = std::move(out);
            return kMidiOk;
        } catch (const RtMidiError&) {
            return kMidiError;
        }
    }

private:
    std::shared_ptr<JackCycleClock> Clock() {
        if (!m_clock || !m_clock->Alive())
            m_clock = JackCycleClock::Open();
        return m_clock;
    }

    // A new JACK connection takes effect with a later cycle; until then what
    // the device plays, or what is sent to it, goes nowhere. Two cycles on it
    // is in use, so a device is connected when its open returns.
    bool Settle() {
        if (m_api != MidiApi::Jack)
            return true;
        const auto clock = Clock();
        if (!clock)
            return false;
        const std::uint32_t opened = clock->Cycles();
        return clock->WaitPast(opened, kJackStallTimeout) &&
               clock->WaitPast(opened + 1, kJackStallTimeout);
    }

    template <typename Rt> bool Probe(std::unique_ptr<Rt>& probe) {
        if (probe)
            return true;
        try {
            probe = std::make_unique<Rt>(ToRtApi(m_api), kClient);
            probe->setErrorCallback(&QuietErrors, nullptr);
            return true;
        } catch (const RtMidiError&) {
            return false;
        }
    }

    static MidiResult NameOf(const std::vector<Device>& devices, unsigned index,
                             std::string& name) {
        if (index >= devices.size() || devices[index].name.empty())
            return kMidiBadDeviceId;
        name = devices[index].name;
        return kMidiOk;
    }

    const MidiApi m_api;
    std::unique_ptr<RtMidiIn> m_inProbe;
    std::unique_ptr<RtMidiOut> m_outProbe;
    std::vector<Device> m_in;
    std::vector<Device> m_out;
    std::shared_ptr<JackCycleClock> m_clock;
};

} // namespace

std::unique_ptr<MidiSystem> CreateMidiSystem(MidiApi api) {
    return std::make_unique<RtMidiSystem>(ChooseApi(api));
}

} // namespace pallorwind::midi
