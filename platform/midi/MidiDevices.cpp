// Picks the MIDI system: the ALSA sequencer where it exists, otherwise JACK.
#include "platform/midi/MidiDevices.h"

#include "platform/midi/VirtualMidiPorts.h"
#include "platform/midi/jack/JackMidiSystem.h"
#include "platform/midi/jack/JackVirtualPorts.h"
#include "platform/midi/rtmidi/RtMidiSystem.h"
#include "platform/midi/rtmidi/RtMidiVirtualPorts.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace pallorwind::midi {

namespace {

// Alsa or Jack; `alsaTried` when ALSA was looked for and not found.
MidiApi Choose(const MidiSystemOptions& options, MidiApi api, bool& alsaTried) {
    if (api == MidiApi::FromEnvironment) {
        const char* env = std::getenv("PALLORWIND_MIDI_API");
        const std::string_view choice = env ? env : "";
        api = choice == "jack" ? MidiApi::Jack : choice == "alsa" ? MidiApi::Alsa : MidiApi::Auto;
    }
    alsaTried = false;
    if (api == MidiApi::Auto) {
        alsaTried = true;
        api = AlsaSequencerAvailable(options) ? MidiApi::Alsa : MidiApi::Jack;
    }
    if (api == MidiApi::Alsa && options.log)
        options.log("MIDI system: ALSA sequencer");
    return api;
}

const char* NoServerHint(bool alsaTried) {
    return alsaTried ? "no ALSA sequencer, " : "";
}

} // namespace

std::unique_ptr<MidiSystem> CreateMidiSystem(const MidiSystemOptions& options, MidiApi api) {
    bool alsaTried = false;
    if (Choose(options, api, alsaTried) == MidiApi::Alsa)
        return CreateRtMidiSystem(options);
    return CreateJackMidiSystem(options, NoServerHint(alsaTried));
}

std::unique_ptr<VirtualMidiSystem> CreateVirtualMidiSystem(const MidiSystemOptions& options,
                                                           MidiApi api) {
    bool alsaTried = false;
    if (Choose(options, api, alsaTried) == MidiApi::Alsa)
        return CreateRtMidiVirtualSystem(options);
    return CreateJackVirtualSystem(options, NoServerHint(alsaTried));
}

std::unique_ptr<MidiSystem> CreateMidiSystem(MidiApi api) {
    return CreateMidiSystem(MidiSystemOptions{program_invocation_short_name, nullptr}, api);
}

} // namespace pallorwind::midi
