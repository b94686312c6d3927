// The file name under which a received layout is stored. The name comes from
// the other end of the connection and is not trusted: whatever it holds, the
// result names a file inside the folder it is stored in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pallorwind::protocol {

inline constexpr std::string_view kLayoutExtension = ".plw";
// The stored name's bytes without the extension, at most; file systems take
// 255 bytes a name.
inline constexpr std::size_t kMaxLayoutStem = 200;
// The stem of a name that has nothing usable left.
inline constexpr std::string_view kFallbackLayoutStem = "Layout";

// `received` followed by ".plw", made safe: every '/', '\\', control
// character (C0, DEL, C1) and byte that is not part of valid UTF-8 becomes
// '_'; leading dots and spaces and trailing spaces go (no "..", no hidden
// file); the stem is cut to kMaxLayoutStem bytes on a character boundary; an
// empty stem becomes kFallbackLayoutStem.
std::string SafeLayoutFileName(std::string_view received);

} // namespace pallorwind::protocol
