// Device names that stay the same across a reboot or a re-plug.
#pragma once

#include <string>
#include <string_view>

namespace pallorwind::midi {

// Client name of every MIDI connection the bridge itself opens.
inline constexpr std::string_view kOwnClientName = "pallorwind-win";

// ALSA reports "client:port 20:0"; the numbers change when a device is plugged
// in again, so they are cut off. Other names are returned unchanged.
std::string StripAlsaAddress(std::string_view name);

// True for a port of one of our own clients ("pallorwind-win:..." or, as JACK
// numbers duplicate client names, "pallorwind-win-01:...").
bool IsOwnPort(std::string_view name);

} // namespace pallorwind::midi
