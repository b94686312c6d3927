// The file operations that put a new executable in place, behind a small
// interface so that a test can make each of them fail.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace pallorwind::win {

class UpdateFileOps {
public:
    virtual ~UpdateFileOps() = default;

    // Whether new files can be created and renamed in folder.
    virtual bool FolderWritable(const std::string& folder) = 0;
    // Puts the regular file at from into folder under a new name of its own
    // (no one else uses it), with permission bits mode, written through to
    // the disk: moved when both are on one file system, else copied. The
    // new file's path goes to staged. On failure nothing new is left.
    virtual bool StageCopy(const std::string& from, const std::string& folder, mode_t mode,
                           std::string& staged) = 0;
    // Removes a file; true when there is none afterwards.
    virtual bool Remove(const std::string& path) = 0;
    // rename(): atomic within one file system, replaces a file at to.
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
};

// Writes all `size` bytes to `fd`, going on after short writes and
// interruptions; false on an error.
bool WriteAll(int fd, const char* data, std::size_t size);

// The operations on this computer's file system.
UpdateFileOps& SystemFileOps();

} // namespace pallorwind::win
