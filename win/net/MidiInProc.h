// The MIDI input callback: queues each short message for the apps.
#pragma once

#include <cstdint>

namespace pallorwind::midi {
class MidiInDevice;
}

namespace pallorwind::win {

class CServerHolder;

// What an input device tells its callback. Only short messages are handled.
enum class MidiInNotice : unsigned {
    MIM_DATA = 0x3C3,     // one short message
    MIM_LONGDATA = 0x3C4, // system exclusive: never forwarded
    MIM_MOREDATA = 0x3CC, // one short message, with more waiting behind it
};

// Called on the MIDI system's thread for input from `hMidiIn` (null where the
// caller does not say which device). `dwInstance` is the controller's holder
// of its server (the holder itself, not the controller that derives from it:
// the conversion does that); `dwParam1` the short-message word; `dwParam2`
// its time stamp, unused. Only MIM_DATA and MIM_MOREDATA are handled, so
// system-exclusive input is never forwarded.
void MidiInProc(const midi::MidiInDevice* hMidiIn, MidiInNotice wMsg, CServerHolder* dwInstance,
                std::uint32_t dwParam1, std::uint32_t dwParam2);

} // namespace pallorwind::win
