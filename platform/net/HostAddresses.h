// The computer's own network addresses, as shown to the user.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pallorwind::platform {

// The IPv4 addresses of the interfaces that are up, loopback excepted, as
// dotted text: ordered by interface index, then as the system lists them,
// each once. Nothing when the interfaces cannot be read.
std::optional<std::vector<std::string>> HostAddresses();

} // namespace pallorwind::platform
