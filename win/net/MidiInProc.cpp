#include "win/net/MidiInProc.h"

#include "win/net/CServerHolder.h"

namespace pallorwind::win {

void MidiInProc(void* /*hMidiIn*/, unsigned wMsg, std::uintptr_t dwInstance,
                std::uintptr_t dwParam1, std::uintptr_t /*dwParam2*/) {
    if (wMsg != MIM_DATA && wMsg != MIM_MOREDATA)
        return;
    if (auto* holder = reinterpret_cast<CServerHolder*>(dwInstance))
        holder->AddMidiData(std::uint32_t(dwParam1));
}

} // namespace pallorwind::win
