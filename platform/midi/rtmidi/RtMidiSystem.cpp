// The MIDI-devices layer over RtMidi on the ALSA sequencer.
#include "platform/midi/rtmidi/RtMidiSystem.h"

#include "platform/midi/DeviceNames.h"
#include "platform/midi/rtmidi/RtMidiClient.h"
#include "protocol/MidiMessage.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <unistd.h>
#include <vector>

namespace pallorwind::midi {
namespace {

// One device as counted, by the name we show; empty when RtMidi could not
// name it (the query failed).
struct Listed {
    std::string name;
};

template <typename Rt> std::vector<Listed> Enumerate(Rt& rt, const std::string& client) {
    std::vector<Listed> devices;
    const unsigned n = rt.getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        const std::string raw = rt.getPortName(i);
        if (IsOwnPort(raw, client))
            continue;
        devices.push_back({StripAlsaAddress(raw)});
    }
    return devices;
}

// RtMidi's index now of the device at `index` in `snapshot`: the same name,
// the same occurrence of it (indices shift when other devices come and go).
template <typename Rt>
std::optional<unsigned> FindCurrent(Rt& rt, const std::string& client,
                                    const std::vector<Listed>& snapshot, unsigned index) {
    const std::string& wanted = snapshot[index].name;
    unsigned occurrence = 0;
    for (unsigned i = 0; i < index; ++i)
        occurrence += snapshot[i].name == wanted;
    const unsigned n = rt.getPortCount();
    for (unsigned i = 0; i < n; ++i) {
        const std::string raw = rt.getPortName(i);
        if (IsOwnPort(raw, client))
            continue;
        if (StripAlsaAddress(raw) != wanted)
            continue;
        if (occurrence-- == 0)
            return i;
    }
    return std::nullopt;
}

class RtInDevice final : public MidiInDevice {
public:
    using Kind = MidiInDevice;
    RtInDevice(const std::string& client, MidiInCallback callback)
        : m_callback(std::move(callback)), m_in(client) {
        m_in->ignoreTypes(/*sysex*/ true, /*timing*/ false, /*sensing*/ false);
        m_in->setCallback(&RtInDevice::Deliver, this);
    }
    ~RtInDevice() override {
        m_started.store(false);
        m_in->closePort();
        // m_in is destroyed first (declared last): closing its client waits
        // for the MIDI thread, so no callback outlives this object.
    }

    bool Open(unsigned rtIndex) {
        m_in->openPort(rtIndex, "in");
        return !m_in.Failed() && m_in->isPortOpen();
    }

    MidiResult Start() override {
        m_started.store(true, std::memory_order_release);
        return MidiResult::Ok;
    }

private:
    static void Deliver(double, std::vector<unsigned char>* message, void* self) {
        auto* device = static_cast<RtInDevice*>(self);
        if (!device->m_started.load(std::memory_order_acquire) || message->empty())
            return;
        const std::uint8_t status = (*message)[0];
        // Only short messages: never SysEx, nor the pieces of one.
        if (!protocol::IsShortStatus(status))
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
    RtMidiClient<RtMidiIn> m_in;
};

class RtOutDevice final : public MidiOutDevice {
public:
    using Kind = MidiOutDevice;
    explicit RtOutDevice(const std::string& client) : m_out(client) {}
    ~RtOutDevice() override { m_out->closePort(); }

    bool Open(unsigned rtIndex) {
        m_out->openPort(rtIndex, "out");
        return !m_out.Failed() && m_out->isPortOpen();
    }

    MidiResult ShortMsg(std::uint32_t word) override {
        const std::uint8_t status = protocol::WordStatus(word);
        if (!protocol::IsShortStatus(status))
            return MidiResult::BadMessage;
        std::uint8_t bytes[3];
        const int length = protocol::EncodeShortMessage(word, bytes);
        m_out.Clear();
        m_out->sendMessage(bytes, std::size_t(length));
        return m_out.Failed() ? MidiResult::Error : MidiResult::Ok;
    }

private:
    RtMidiClient<RtMidiOut> m_out;
};

class RtMidiSystem final : public MidiSystem {
public:
    explicit RtMidiSystem(std::string client) : m_client(std::move(client)) {}

    MidiPortList Inputs() override { return List(m_inProbe, m_in); }
    MidiOpened<MidiInDevice> OpenIn(MidiPortIndex port, MidiInCallback callback) override {
        return Open<RtInDevice>(m_inProbe, m_in, port, std::move(callback));
    }

    MidiPortList Outputs() override { return List(m_outProbe, m_out); }
    MidiOpened<MidiOutDevice> OpenOut(MidiPortIndex port) override {
        return Open<RtOutDevice>(m_outProbe, m_out, port);
    }

private:
    // The RtMidi object that counts and names the devices of one kind.
    template <typename Rt> using Probe = std::unique_ptr<RtMidiClient<Rt>>;

    template <typename Rt> bool Ready(Probe<Rt>& probe) {
        if (probe)
            return true;
        try {
            probe = std::make_unique<RtMidiClient<Rt>>(m_client);
            return true;
        } catch (const RtMidiError&) {
            return false;
        }
    }

    template <typename Rt> MidiPortList List(Probe<Rt>& probe, std::vector<Listed>& snapshot) {
        MidiPortList ports;
        if (!Ready(probe))
            return ports;
        snapshot = Enumerate(**probe, m_client);
        ports.reserve(snapshot.size());
        for (unsigned i = 0; i < snapshot.size(); ++i)
            ports.push_back({MidiPortIndex{i}, snapshot[i].name,
                             snapshot[i].name.empty() ? MidiResult::BadDeviceId : MidiResult::Ok});
        return ports;
    }

    template <typename Device, typename Rt, typename... Args>
    MidiOpened<typename Device::Kind> Open(Probe<Rt>& probe, const std::vector<Listed>& snapshot,
                                           MidiPortIndex port, Args&&... args) {
        std::optional<unsigned> rtIndex;
        if (port.value < snapshot.size() && !snapshot[port.value].name.empty() && Ready(probe))
            rtIndex = FindCurrent(**probe, m_client, snapshot, port.value);
        if (!rtIndex)
            return {nullptr, MidiResult::BadDeviceId};
        try {
            auto device = std::make_unique<Device>(m_client, std::forward<Args>(args)...);
            if (!device->Open(*rtIndex))
                return {nullptr, MidiResult::Error};
            return {std::move(device)};
        } catch (const RtMidiError&) {
            return {nullptr, MidiResult::Error};
        }
    }

    const std::string m_client;
    Probe<RtMidiIn> m_inProbe;
    Probe<RtMidiOut> m_outProbe;
    std::vector<Listed> m_in;
    std::vector<Listed> m_out;
};

} // namespace

bool AlsaSequencerAvailable(const MidiSystemOptions& options) {
    // Quietly no when there is no sequencer device at all.
    if (access("/dev/snd/seq", F_OK) != 0)
        return false;
    try {
        RtMidiIn probe(RtMidi::LINUX_ALSA, options.clientName);
        return true;
    } catch (const RtMidiError&) {
        return false;
    }
}

std::unique_ptr<MidiSystem> CreateRtMidiSystem(const MidiSystemOptions& options) {
    return std::make_unique<RtMidiSystem>(options.clientName);
}

} // namespace pallorwind::midi
