// The MIDI input callback: queues each short message for the apps.
#pragma once

#include <cstdint>

namespace pallorwind::win {

class CServerHolder;

inline constexpr unsigned MIM_DATA = 0x3C3;
inline constexpr unsigned MIM_MOREDATA = 0x3CC;

// Called on the MIDI system's thread. `dwInstance` is the controller's
// CServerHolder; `dwParam1` the short-message word. Only MIM_DATA and
// MIM_MOREDATA are handled, so system-exclusive input is never forwarded.
void MidiInProc(void* hMidiIn, unsigned wMsg, std::uintptr_t dwInstance, std::uintptr_t dwParam1,
                std::uintptr_t dwParam2);

// The instance data to open the MIDI input with: the holder itself, not the
// controller object that derives from it.
inline std::uintptr_t MidiInInstance(CServerHolder* holder) {
    return reinterpret_cast<std::uintptr_t>(holder);
}

} // namespace pallorwind::win
