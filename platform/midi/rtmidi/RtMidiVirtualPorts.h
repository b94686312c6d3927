// A program's own virtual MIDI ports on the ALSA sequencer, over RtMidi.
#pragma once

#include "platform/midi/VirtualMidiPorts.h"

#include <memory>

namespace pallorwind::midi {

// Each Create makes a sequencer client named `options.clientName` (one for
// the source, one for the destination) with one port named after the ports.
std::unique_ptr<VirtualMidiSystem> CreateRtMidiVirtualSystem(const MidiSystemOptions& options);

} // namespace pallorwind::midi
