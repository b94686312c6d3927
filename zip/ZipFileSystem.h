#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pallorwind::zip {

// The few file-system operations extraction needs beyond reading and writing
// files. Paths use '/'.
//
// Below the target folder nothing is reached by path: each folder is opened
// from its parent's descriptor without following a symbolic link, and times
// and attributes are set on what was opened.
namespace ZipFileSystem {

// A descriptor that is closed with its holder.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : m_fd(fd) {}
    Descriptor(Descriptor&& other) noexcept : m_fd(other.Release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor();

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    int Release();

private:
    int m_fd = -1;
};

bool IsDirectory(const std::string& path);

// Writes all `size` bytes to `fd`, going on after short writes and
// interruptions. False on an error, with errno set; a write that takes
// nothing counts as one (EIO), so that it cannot go round for ever.
bool WriteAll(int fd, const void* data, std::size_t size);

// Creates the folder and any missing parents. Succeeds when it exists as a
// folder afterwards.
bool CreateFolderChain(const std::string& path);

// Opens the target folder of an extraction, creating it and its parents
// when missing. The path is the caller's: links in it are followed. Not
// open on failure, with errno set.
Descriptor OpenTargetFolder(const std::string& path);

// Opens the folder `relative` (names separated by '/', none empty, "." or
// "..") below the open folder `base`, creating the folders that are missing.
// A symbolic link met on the way, dangling or not, is neither followed nor
// removed: the result is not open and errno is ELOOP. Other failures leave
// errno as the system set it.
Descriptor OpenFolderBelow(int base, const std::string& relative);

// Sets the last-write time from an MS-DOS date and time read as local time,
// and the last-access time to now.
bool SetFileTime(int fd, std::uint16_t dosDate, std::uint16_t dosTime);

// Applies an entry's external attributes. madeBy is the "version made by"
// field: when its high byte says Unix (3) and a mode is present in the high
// 16 bits, its permission bits are used; otherwise the MS-DOS read-only bit
// clears write permission. Attribute values that mean nothing here are
// ignored; false only when the system refuses the change.
bool ApplyAttributes(int fd, bool isFolder, std::uint16_t madeBy, std::uint32_t externalAttributes);

} // namespace ZipFileSystem

} // namespace pallorwind::zip
