// MidiResult by name in test failures.
#pragma once

#include "platform/midi/MidiDevices.h"

#include <iterator>
#include <ostream>

namespace pallorwind::midi {

inline void PrintTo(MidiResult result, std::ostream* os) {
    static constexpr const char* kNames[] = {"Ok",         "Error",    "BadDeviceId", "Allocated",
                                             "BadMessage", "NotReady", "WouldWait"};
    const auto n = std::size_t(result);
    *os << (n < std::size(kNames) ? kNames[n] : "MidiResult(?)");
}

} // namespace pallorwind::midi
