#include "UpdateFileOps.h"

#include "zip/ZipFileSystem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pallorwind::win {

namespace {

bool CopyContent(int in, int out) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        if (!zip::ZipFileSystem::WriteAll(out, buffer.data(), static_cast<std::size_t>(n)))
            return false;
    }
}

// Closes out, the new file name: made names it when everything went well,
// else it is removed.
bool Settle(int out, bool ok, const std::string& name, std::string& made) {
    if (out >= 0 && ::close(out) != 0)
        ok = false;
    if (!ok) {
        ::unlink(name.c_str());
        return false;
    }
    made = name;
    return true;
}

// A new file prefix + six characters holding a copy of the file at from,
// with permission bits mode, written through to the disk.
bool CopyToNewFile(const std::string& from, const std::string& prefix, mode_t mode,
                   std::string& made) {
    std::string name = prefix + "XXXXXX";
    const int out = ::mkostemp(name.data(), O_CLOEXEC);
    if (out < 0)
        return false;
    const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool ok = in >= 0 && CopyContent(in, out) && ::fchmod(out, mode) == 0 && ::fsync(out) == 0;
    if (in >= 0)
        ::close(in);
    return Settle(out, ok, name, made);
}

std::string RandomSuffix() {
    static constexpr char kChars[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kChars - 2);
    std::string suffix;
    for (int i = 0; i < 6; ++i)
        suffix += kChars[pick(random)];
    return suffix;
}

class PosixFileOps final : public UpdateFileOps {
public:
    bool FolderWritable(const std::string& folder) override {
        return ::access(folder.c_str(), W_OK | X_OK) == 0;
    }

    bool StageCopy(const std::string& from, const std::string& prefix, mode_t mode,
                   std::string& staged) override {
        struct stat source {};
        if (::lstat(from.c_str(), &source) != 0 || !S_ISREG(source.st_mode))
            return false;
        std::string name = prefix + "XXXXXX";
        int out = ::mkostemp(name.data(), O_CLOEXEC);
        if (out < 0)
            return false;
        ::close(out);
        // On the same file system the file itself moves over the name just
        // made; no copy.
        if (::rename(from.c_str(), name.c_str()) != 0) {
            ::unlink(name.c_str());
            return CopyToNewFile(from, prefix, mode, staged);
        }
        out = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        return Settle(out, out >= 0 && ::fchmod(out, mode) == 0 && ::fsync(out) == 0, name, staged);
    }

    bool StageLink(const std::string& path, const std::string& prefix,
                   std::string& staged) override {
        struct stat source {};
        if (::lstat(path.c_str(), &source) != 0 || !S_ISREG(source.st_mode))
            return false;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = prefix + RandomSuffix();
            if (::link(path.c_str(), name.c_str()) == 0) {
                staged = name;
                return true;
            }
            if (errno != EEXIST)
                break;
        }
        return CopyToNewFile(path, prefix, source.st_mode & 07777, staged);
    }

    bool Remove(const std::string& path) override {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    }

    bool Rename(const std::string& from, const std::string& to) override {
        return std::rename(from.c_str(), to.c_str()) == 0;
    }

    bool SyncFolder(const std::string& folder) override {
        const zip::ZipFileSystem::Descriptor fd(
            ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        return fd.IsOpen() && ::fsync(fd.Get()) == 0;
    }
};

} // namespace

UpdateFileOps& SystemFileOps() {
    static PosixFileOps ops;
    return ops;
}

FolderLock::FolderLock(const std::string& folder) {
    m_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_fd < 0)
        return;
    if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
        m_state = Held;
        return;
    }
    const int error = errno;
    m_state = error == EWOULDBLOCK ? Busy : Unavailable;
    ::close(m_fd);
    m_fd = -1;
    errno = error;
}

FolderLock::~FolderLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace pallorwind::win
