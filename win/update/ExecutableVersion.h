// The program's own version, embedded in its executable at build time as a
// record that can be read back from the file: the marker below, the version
// text (the CMake project version) and a zero byte.
#pragma once

#include <string>

namespace pallorwind::win {

inline constexpr const char kVersionRecordMarker[] = "PALLORWIND-FILE-VERSION:";

// The version embedded in this program ("0.1.0"); empty in a program built
// without the record.
std::string EmbeddedVersion();

// The version of the executable at path as the update check compares it
// (FormatFileVersion of the record's fields): empty when the file cannot be
// read, carries no record, or its version is 0.0.0.0.
std::string ReadExecutableVersion(const std::string& path);

} // namespace pallorwind::win
