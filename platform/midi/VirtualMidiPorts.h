// A program's own MIDI ports that other programs connect to: a source that
// offers what the program sends, and a destination whose arrivals are handed
// to the program. Both carry one name. Bytes pass through unchanged.
#pragma once

#include "platform/midi/MidiDevices.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pallorwind::midi {

// Called on a thread of the MIDI layer (never the caller's) with one packet
// as it arrived at the destination: one or more whole messages, or a piece of
// a system exclusive message.
using VirtualMidiReceive = std::function<void(const std::uint8_t* bytes, std::size_t size)>;

// One source and one destination. Destroying it takes both away; once the
// destructor has returned the receiver is not running and is never called
// again.
class VirtualMidiPorts {
public:
    virtual ~VirtualMidiPorts() = default;
    // Offers `bytes` on the source as one packet. Any thread.
    virtual MidiResult Send(const std::uint8_t* bytes, std::size_t size) = 0;
};

// The MIDI system a program makes its virtual ports on: one connection to it
// per program (on JACK, one client named options.clientName).
class VirtualMidiSystem {
public:
    virtual ~VirtualMidiSystem() = default;
    // A source and a destination named `name`; null (with a log line) when the
    // MIDI system refuses them.
    virtual std::unique_ptr<VirtualMidiPorts> Create(const std::string& name,
                                                     VirtualMidiReceive onReceive) = 0;
};

// The ALSA sequencer, or JACK, chosen as CreateMidiSystem chooses.
std::unique_ptr<VirtualMidiSystem> CreateVirtualMidiSystem(const MidiSystemOptions& options,
                                                           MidiApi api = MidiApi::FromEnvironment);

} // namespace pallorwind::midi
