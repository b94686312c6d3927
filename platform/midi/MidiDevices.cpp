// Picks the MIDI system: the ALSA sequencer where it exists, otherwise JACK.
#include "platform/midi/MidiDevices.h"

#include "platform/midi/jack/JackMidiSystem.h"
#include "platform/midi/rtmidi/RtMidiSystem.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace pallorwind::midi {

std::unique_ptr<MidiSystem> CreateMidiSystem(const MidiSystemOptions& options, MidiApi api) {
    if (api == MidiApi::FromEnvironment) {
        const char* env = std::getenv("PALLORWIND_MIDI_API");
        const std::string_view choice = env ? env : "";
        api = choice == "jack" ? MidiApi::Jack : choice == "alsa" ? MidiApi::Alsa : MidiApi::Auto;
    }
    bool alsaTried = false;
    if (api == MidiApi::Auto) {
        alsaTried = true;
        api = AlsaSequencerAvailable(options) ? MidiApi::Alsa : MidiApi::Jack;
    }
    if (api == MidiApi::Alsa) {
        if (options.log)
            options.log("MIDI system: ALSA sequencer");
        return CreateRtMidiSystem(options);
    }
    return CreateJackMidiSystem(options, alsaTried ? "no ALSA sequencer, " : "");
}

std::unique_ptr<MidiSystem> CreateMidiSystem(MidiApi api) {
    return CreateMidiSystem(MidiSystemOptions{program_invocation_short_name, nullptr}, api);
}

} // namespace pallorwind::midi
