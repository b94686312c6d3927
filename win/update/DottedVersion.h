// Version strings of the update check: one to four fields of decimal digits
// separated by ".", the first the most significant, missing fields 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace pallorwind::win {

// The four fields of a version string. Adjacent dots and dots at either end
// make no empty field. No value when there is no field, a field holds
// anything but "0" to "9", there are more than four fields, or a
// field is too large for a signed 32-bit integer.
std::optional<std::array<std::int32_t, 4>> ParseDottedVersion(const std::string& text);

// 1 when the server's version is newer, 0 when equal, -1 when older; -21
// when the server's string is malformed, -22 when the local one is.
int CompareDottedVersions(const std::string& server, const std::string& local);

// A file version as the program reports its own: "a.b.c.d" when the third
// or fourth field is not 0, else "a.b" when the first or second is not 0,
// else "" (no version).
std::string FormatFileVersion(const std::array<std::int32_t, 4>& fields);

} // namespace pallorwind::win
