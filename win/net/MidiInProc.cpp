#include "win/net/MidiInProc.h"

#include "win/net/CServerHolder.h"

namespace pallorwind::win {

void MidiInProc(const midi::MidiInDevice* /*hMidiIn*/, MidiInNotice wMsg, CServerHolder* dwInstance,
                std::uint32_t dwParam1, std::uint32_t /*dwParam2*/) {
    if (wMsg != MidiInNotice::MIM_DATA && wMsg != MidiInNotice::MIM_MOREDATA)
        return;
    if (dwInstance)
        dwInstance->AddMidiData(dwParam1);
}

} // namespace pallorwind::win
