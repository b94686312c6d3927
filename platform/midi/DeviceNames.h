// Device names that stay the same across a reboot or a re-plug.
#pragma once

#include <string>
#include <string_view>

namespace pallorwind::midi {

// ALSA reports "client:port 20:0"; the numbers change when a device is plugged
// in again, so they are cut off. Other names are returned unchanged.
std::string StripAlsaAddress(std::string_view name);

// True for a port of our own client `client` ("client:..." or, as JACK numbers
// duplicate client names, "client-01:...").
bool IsOwnPort(std::string_view name, std::string_view client);

} // namespace pallorwind::midi
