// The file operations that put a new executable in place, behind a small
// interface so that a test can make each of them fail (or stop the process
// just before it).
#pragma once

#include <string>
#include <sys/types.h>

namespace pallorwind::win {

class UpdateFileOps {
public:
    virtual ~UpdateFileOps() = default;

    // Whether new files can be created and renamed in folder.
    virtual bool FolderWritable(const std::string& folder) = 0;
    // Puts the regular file at from under a new name of its own: prefix
    // (a path) followed by six characters, with permission bits mode,
    // written through to the disk: moved when both are on one file system,
    // else copied. The new file's path goes to staged. On failure nothing
    // new is left.
    virtual bool StageCopy(const std::string& from, const std::string& prefix, mode_t mode,
                           std::string& staged) = 0;
    // Gives the file at path a second name, prefix followed by six
    // characters (a hard link; a copy written through to the disk where the
    // file system has no links). The name goes to staged. On failure nothing
    // new is left.
    virtual bool StageLink(const std::string& path, const std::string& prefix,
                           std::string& staged) = 0;
    // Removes a file; true when there is none afterwards.
    virtual bool Remove(const std::string& path) = 0;
    // rename(): atomic within one file system, replaces a file at to.
    virtual bool Rename(const std::string& from, const std::string& to) = 0;
    // Writes the folder's entries (names made, renamed or removed) through
    // to the disk.
    virtual bool SyncFolder(const std::string& folder) = 0;
};

// The operations on this computer's file system.
UpdateFileOps& SystemFileOps();

// An advisory lock (flock) on a folder, held while the object lives. An
// update holds its private download folder and, while it puts files there,
// the installation folder; a tidy-up leaves alone what another run still
// holds.
class FolderLock {
public:
    enum State { Held, Busy, Unavailable };
    explicit FolderLock(const std::string& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    // Busy: another run holds it; Unavailable: the folder cannot be opened
    // or locked at all (the error is in errno at construction).
    State GetState() const { return m_state; }

private:
    int m_fd = -1;
    State m_state = Unavailable;
};

// Whether the two paths name the same file (links not followed).
bool SameFile(const std::string& a, const std::string& b);

} // namespace pallorwind::win
