// The bridge's presence in the computer's MIDI system: one virtual source that
// offers what the app plays, and one virtual destination whose arrivals go to
// the app. Both carry the bridge's MIDI name. Bytes pass through unchanged.
#pragma once

#include "platform/midi/VirtualMidiPorts.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pallorwind::osx {

// The endpoints' name: "Pallorwind", or "Pallorwind <suffix>" when the user
// gave a suffix.
std::string MidiEndpointName(const std::string& suffix);

// Receives every packet that other programs send to the destination, on a
// thread of the MIDI layer.
class MidiHandlerOwner {
public:
    virtual ~MidiHandlerOwner() = default;
    virtual void HandleMidiMessage(const std::uint8_t* bytes, std::size_t size) = 0;
};

class MidiHandler {
public:
    // Creates both endpoints under `name` on `system`. When the MIDI system
    // refuses them (and says so) the handler still exists and sends nowhere.
    MidiHandler(midi::VirtualMidiSystem& system, const std::string& name);
    ~MidiHandler();
    MidiHandler(const MidiHandler&) = delete;
    MidiHandler& operator=(const MidiHandler&) = delete;

    // The receiver of incoming packets; not owned. Null drops them.
    void SetOwner(MidiHandlerOwner* owner);
    // Emits `bytes` as one packet on the source. False when there are no
    // endpoints or the MIDI system refused it.
    bool SendMidi(const std::uint8_t* bytes, std::size_t size);
    // Takes both endpoints away; once it has returned the owner is never
    // called again. The handler is not used afterwards.
    void Close();

    const std::string& Name() const { return m_name; }

private:
    struct Relay;
    std::string m_name;
    std::shared_ptr<Relay> m_relay;
    std::unique_ptr<midi::VirtualMidiPorts> m_ports;
};

} // namespace pallorwind::osx
