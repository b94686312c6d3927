// A program's own virtual MIDI ports on a JACK server: the two ports of each
// VirtualMidiPorts are "NAME in" (the destination) and "NAME out" (the
// source) on the one client named options.clientName.
#pragma once

#include "platform/midi/VirtualMidiPorts.h"

#include <memory>
#include <string>

namespace pallorwind::midi {

// Never starts a server. Without one, ports asked for are made once a server
// appears; after a server restart they are made again under the same names.
// One set of ports at a time: a Create while another set lives is refused.
// `noServerHint` starts the "none found" line's reason ("no ALSA sequencer, ").
std::unique_ptr<VirtualMidiSystem> CreateJackVirtualSystem(const MidiSystemOptions& options,
                                                           const std::string& noServerHint = {});

// The short names of the two ports for `name`, made to fit JACK's limits
// (no ':', a bounded length) given the client's name.
std::string JackVirtualPortName(const std::string& name, const std::string& client, bool input);

} // namespace pallorwind::midi
