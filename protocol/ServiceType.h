// The DNS-SD service type under which a bridge announces itself and the app
// looks for one.
#pragma once

namespace pallorwind::protocol {

inline constexpr const char* kServiceType = "_pallorwind._tcp";

} // namespace pallorwind::protocol
