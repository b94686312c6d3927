// The MIDI-devices layer over RtMidi on the ALSA sequencer.
#include "platform/midi/rtmidi/RtMidiSystem.h"

#include "platform/midi/DeviceNames.h"
#include "protocol/MidiMessage.h"

#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <atomic>
#include <unistd.h>
#include <vector>

namespace pallorwind::midi {
namespace {

void QuietErrors(RtMidiError::Type, const std::string&, void* flag) {
    if (flag)
        static_cast<std::atomic<bool>*>(flag)->store(true);
}

// One device as counted, by the name we show; empty when RtMidi could not
// name it (the query failed).
struct Device {
    std::string name;
};

template <typename Rt> std::vector<Device> Enumerate(Rt& rt, const std::string& client) {
    std::vector<Device> devices;
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
bool FindCurrent(Rt& rt, const std::string& client, const std::vector<Device>& snapshot,
                 unsigned index, unsigned& rtIndex) {
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
        if (occurrence-- == 0) {
            rtIndex = i;
            return true;
        }
    }
    return false;
}

class RtInDevice final : public MidiInDevice {
public:
    RtInDevice(const std::string& client, MidiInCallback callback)
        : m_callback(std::move(callback)), m_in(RtMidi::LINUX_ALSA, client) {
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
    std::atomic<bool> m_failed{false};
    RtMidiIn m_in;
};

class RtOutDevice final : public MidiOutDevice {
public:
    explicit RtOutDevice(const std::string& client) : m_out(RtMidi::LINUX_ALSA, client) {
        m_out.setErrorCallback(&QuietErrors, &m_failed);
    }
    ~RtOutDevice() override { m_out.closePort(); }

    bool Open(unsigned rtIndex) {
        m_out.openPort(rtIndex, "out");
        return !m_failed.load() && m_out.isPortOpen();
    }

    MidiResult ShortMsg(std::uint32_t word) override {
        const std::uint8_t status = protocol::WordStatus(word);
        if (!protocol::IsShortStatus(status))
            return kMidiBadMessage;
        std::uint8_t bytes[3];
        const int length = protocol::EncodeShortMessage(word, bytes);
        m_failed.store(false);
        m_out.sendMessage(bytes, std::size_t(length));
        return m_failed.load() ? kMidiError : kMidiOk;
    }

private:
    std::atomic<bool> m_failed{false};
    RtMidiOut m_out;
};

class RtMidiSystem final : public MidiSystem {
public:
    explicit RtMidiSystem(std::string client) : m_client(std::move(client)) {}

    unsigned InCount() override {
        if (!Probe(m_inProbe))
            return 0;
        m_in = Enumerate(*m_inProbe, m_client);
        return unsigned(m_in.size());
    }
    MidiResult InName(unsigned index, std::string& name) override {
        return NameOf(m_in, index, name);
    }
    MidiResult OpenIn(unsigned index, MidiInCallback callback,
                      std::unique_ptr<MidiInDevice>& device) override {
        unsigned rtIndex = 0;
        if (index >= m_in.size() || m_in[index].name.empty() || !Probe(m_inProbe) ||
            !FindCurrent(*m_inProbe, m_client, m_in, index, rtIndex))
            return kMidiBadDeviceId;
        try {
            auto in = std::make_unique<RtInDevice>(m_client, std::move(callback));
            if (!in->Open(rtIndex))
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
        m_out = Enumerate(*m_outProbe, m_client);
        return unsigned(m_out.size());
    }
    MidiResult OutName(unsigned index, std::string& name) override {
        return NameOf(m_out, index, name);
    }
    MidiResult OpenOut(unsigned index, std::unique_ptr<MidiOutDevice>& device) override {
        unsigned rtIndex = 0;
        if (index >= m_out.size() || m_out[index].name.empty() || !Probe(m_outProbe) ||
            !FindCurrent(*m_outProbe, m_client, m_out, index, rtIndex))
            return kMidiBadDeviceId;
        try {
            auto out = std::make_unique<RtOutDevice>(m_client);
            if (!out->Open(rtIndex))
                return kMidiError;
            device = std::move(out);
            return kMidiOk;
        } catch (const RtMidiError&) {
            return kMidiError;
        }
    }

private:
    template <typename Rt> bool Probe(std::unique_ptr<Rt>& probe) {
        if (probe)
            return true;
        try {
            probe = std::make_unique<Rt>(RtMidi::LINUX_ALSA, m_client);
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

    const std::string m_client;
    std::unique_ptr<RtMidiIn> m_inProbe;
    std::unique_ptr<RtMidiOut> m_outProbe;
    std::vector<Device> m_in;
    std::vector<Device> m_out;
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
