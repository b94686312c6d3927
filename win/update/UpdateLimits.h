// The largest update the program takes, in one place: the archive as it is
// downloaded, and everything its entries would unpack to together.
#pragma once

#include <cstdint>

namespace pallorwind::win {

inline constexpr std::uint64_t kUpdateSizeLimit = std::uint64_t(256) << 20;

} // namespace pallorwind::win
