// The MIDI-devices layer on a JACK server, through libjack: one JACK client
// per system with the ports "in" and "out"; opening a device connects one of
// them to another client's port.
#pragma once

#include "platform/midi/MidiDevices.h"

#include <memory>
#include <string>

namespace pallorwind::midi {

// Never starts a server. Without one the system has no devices and keeps
// looking for a server in the background; it also survives the server going
// away and coming back, reconnecting the open devices by name.
// `noServerHint` starts the "none found" line's reason ("no ALSA sequencer, ").
std::unique_ptr<MidiSystem> CreateJackMidiSystem(const MidiSystemOptions& options,
                                                 const std::string& noServerHint = {});

} // namespace pallorwind::midi
