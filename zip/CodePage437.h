#pragma once

#include <string>
#include <string_view>

namespace pallorwind::zip {

// Converts a name in the MS-DOS OEM code page 437 (the code page ZIP names are
// written in unless flagged as UTF-8) to UTF-8. Bytes below 0x80 are ASCII.
std::string CodePage437ToUtf8(std::string_view oem);

} // namespace pallorwind::zip
