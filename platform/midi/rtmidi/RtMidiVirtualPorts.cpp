// Virtual ports on the ALSA sequencer: RtMidi's virtual output is the source,
// its virtual input the destination. RtMidi reassembles a system exclusive
// message that the sequencer delivers in pieces, so each call of the receiver
// carries one whole message.
#include "platform/midi/rtmidi/RtMidiVirtualPorts.h"

#include <rtmidi/RtMidi.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace pallorwind::midi {
namespace {

struct ErrorFlag {
    std::atomic<bool> failed{false};
    MidiLogSink log;
};

void NoteError(RtMidiError::Type, const std::string& text, void* data) {
    auto* flag = static_cast<ErrorFlag*>(data);
    flag->failed.store(true);
    if (flag->log)
        flag->log("ALSA: " + text);
}

class RtVirtualPorts final : public VirtualMidiPorts {
public:
    RtVirtualPorts(const MidiSystemOptions& options, const std::string& name,
                   VirtualMidiReceive onReceive)
        : m_receive(std::move(onReceive)), m_in(RtMidi::LINUX_ALSA, options.clientName),
          m_out(RtMidi::LINUX_ALSA, options.clientName) {
        m_errors.log = options.log;
        m_in.setErrorCallback(&NoteError, &m_errors);
        m_out.setErrorCallback(&NoteError, &m_errors);
        // Everything passes: system exclusive, timing clock, active sensing.
        m_in.ignoreTypes(false, false, false);
        m_in.setCallback(&RtVirtualPorts::Deliver, this);
        m_in.openVirtualPort(name);
        m_out.openVirtualPort(name);
    }
    ~RtVirtualPorts() override {
        m_in.closePort();
        m_out.closePort();
        // m_in is destroyed before m_receive: closing its client waits for
        // the MIDI thread, so the receiver is not called afterwards.
    }

    bool Opened() const {
        return !m_errors.failed.load() && m_in.isPortOpen() && m_out.isPortOpen();
    }

    MidiResult Send(const std::uint8_t* bytes, std::size_t size) override {
        if (!bytes || size == 0)
            return kMidiBadMessage;
        std::lock_guard guard(m_sendLock);
        m_errors.failed.store(false);
        m_out.sendMessage(bytes, size);
        return m_errors.failed.load() ? kMidiError : kMidiOk;
    }

private:
    static void Deliver(double, std::vector<unsigned char>* message, void* self) {
        if (!message->empty())
            static_cast<RtVirtualPorts*>(self)->m_receive(message->data(), message->size());
    }

    VirtualMidiReceive m_receive;
    ErrorFlag m_errors;
    std::mutex m_sendLock;
    RtMidiIn m_in;
    RtMidiOut m_out;
};

class RtVirtualSystem final : public VirtualMidiSystem {
public:
    explicit RtVirtualSystem(MidiSystemOptions options) : m_options(std::move(options)) {}

    std::unique_ptr<VirtualMidiPorts> Create(const std::string& name,
                                             VirtualMidiReceive onReceive) override {
        try {
            auto ports = std::make_unique<RtVirtualPorts>(m_options, name, std::move(onReceive));
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
    return std::make_unique<RtVirtualSystem>(options);
}

} // namespace pallorwind::midi
