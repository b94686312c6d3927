// The MIDI-devices layer over RtMidi, for the ALSA sequencer.
#pragma once

#include "platform/midi/MidiDevices.h"

#include <memory>

namespace pallorwind::midi {

// True when the ALSA sequencer exists and can be opened.
bool AlsaSequencerAvailable(const MidiSystemOptions& options);

// The ALSA sequencer through RtMidi; every device opened is a sequencer
// client named `options.clientName`.
std::unique_ptr<MidiSystem> CreateRtMidiSystem(const MidiSystemOptions& options);

} // namespace pallorwind::midi
