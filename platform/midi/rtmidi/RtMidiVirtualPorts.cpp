// Virtual ports on the ALSA sequencer: RtMidi's virtual output is the source,
// its virtual input the destination. RtMidi reassembles a system exclusive
// message that the sequencer delivers in pieces, so each call of the receiver
// carries one whole message.
#include "platform/midi/rtmidi/RtMidiVirtualPorts.h"

#include "platform/midi/rtmidi/RtMidiClient.h"

#include <mutex>
#include <utility>
#include <vector>

namespace pallorwind::midi {
namespace {

class RtMidiVirtualPorts final : public VirtualMidiPorts {
public:
    RtMidiVirtualPorts(const MidiSystemOptions& options, const std::string& name,
                       VirtualMidiReceive onReceive)
        : m_receive(std::move(onReceive)), m_in(options.clientName, options.log),
          m_out(options.clientName, options.log) {
        // Everything passes: system exclusive, timing clock, active sensing.
        m_in->ignoreTypes(false, false, false);
        m_in->setCallback(&RtMidiVirtualPorts::Deliver, this);
        m_in->openVirtualPort(name);
        m_out->openVirtualPort(name);
    }
    ~RtMidiVirtualPorts() override {
        m_in->closePort();
        m_out->closePort();
        // m_in is destroyed before m_receive: closing its client waits for
        // the MIDI thread, so the receiver is not called afterwards.
    }

    bool Opened() const {
        return !m_in.Failed() && !m_out.Failed() && m_in->isPortOpen() && m_out->isPortOpen();
    }

    MidiResult Send(const std::uint8_t* bytes, std::size_t size) override {
        if (!bytes || size == 0)
            return MidiResult::BadMessage;
        std::lock_guard guard(m_sendLock);
        m_out.Clear();
        m_out->sendMessage(bytes, size);
        return m_out.Failed() ? MidiResult::Error : MidiResult::Ok;
    }

private:
    static void Deliver(double, std::vector<unsigned char>* message, void* self) {
        if (!message->empty())
            static_cast<RtMidiVirtualPorts*>(self)->m_receive(message->data(), message->size());
    }

    VirtualMidiReceive m_receive;
    std::mutex m_sendLock;
    RtMidiClient<RtMidiIn> m_in;
    RtMidiClient<RtMidiOut> m_out;
};

class RtMidiVirtualSystem final : public VirtualMidiSystem {
public:
    explicit RtMidiVirtualSystem(MidiSystemOptions options) : m_options(std::move(options)) {}

    std::unique_ptr<VirtualMidiPorts> Create(const std::string& name,
                                             VirtualMidiReceive onReceive) override {
        try {
            auto ports =
                std::make_unique<RtMidiVirtualPorts>(m_options, name, std::move(onReceive));
            if (ports->Opened())
                return ports;
        } catch (const RtMidiError& error) {
            if (m_options.log)
                m_options.log("ALSA: " + error.getMessage());
        }
        if (m_options.log)
            m_options.log("Cannot make the MIDI ports \"" + name + "\"");
        return nullptr;
    }

private:
    const MidiSystemOptions m_options;
};

} // namespace

std::unique_ptr<VirtualMidiSystem> CreateRtMidiVirtualSystem(const MidiSystemOptions& options) {
    return std::make_unique<RtMidiVirtualSystem>(options);
}

} // namespace pallorwind::midi
