#include "osx/MidiHandler.h"

#include <atomic>

namespace pallorwind::osx {

namespace {
constexpr const char* kBaseName = "Pallorwind";
}

std::string MidiEndpointName(const std::string& suffix) {
    return suffix.empty() ? std::string(kBaseName) : std::string(kBaseName) + " " + suffix;
}

// What the MIDI thread calls: the owner may change while packets arrive.
struct MidiHandler::Relay {
    std::atomic<MidiHandlerOwner*> owner{nullptr};
};

MidiHandler::MidiHandler(midi::VirtualMidiSystem& system, const std::string& name)
    : m_name(name), m_relay(std::make_shared<Relay>()) {
    m_ports = system.Create(name, [relay = m_relay](const std::uint8_t* bytes, std::size_t size) {
        if (MidiHandlerOwner* owner = relay->owner.load())
            owner->HandleMidiMessage(bytes, size);
    });
}

MidiHandler::~MidiHandler() {
    Close();
}

void MidiHandler::SetOwner(MidiHandlerOwner* owner) {
    m_relay->owner.store(owner);
}

bool MidiHandler::SendMidi(const std::uint8_t* bytes, std::size_t size) {
    return m_ports && size > 0 && m_ports->Send(bytes, size) == midi::MidiResult::Ok;
}

void MidiHandler::Close() {
    m_relay->owner.store(nullptr);
    m_ports.reset();
}

} // namespace pallorwind::osx
