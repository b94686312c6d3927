#pragma once

#include <cstdint>
#include <string>

namespace pallorwind::win {

// The few file-system operations extraction needs beyond reading and writing
// files. Paths use '/'.
namespace ZipFileSystem {

bool IsDirectory(const std::string& path);

// Creates the folder and any missing parents. Succeeds when it exists as a
// folder afterwards.
bool CreateFolderChain(const std::string& path);

// Sets the last-write time from an MS-DOS date and time read as local time,
// and the last-access time to now.
bool SetFileTime(const std::string& path, std::uint16_t dosDate, std::uint16_t dosTime);

// Applies an entry's external attributes. madeBy is the "version made by"
// field: when its high byte says Unix (3) and a mode is present in the high
// 16 bits, its permission bits are used; otherwise the MS-DOS read-only bit
// clears write permission. Attribute values that mean nothing here are
// ignored; false only when the system refuses the change.
bool ApplyAttributes(const std::string& path, bool isFolder, std::uint16_t madeBy,
                     std::uint32_t externalAttributes);

} // namespace ZipFileSystem

} // namespace pallorwind::win
