#include "UpdateFileOps.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pallorwind::win {

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

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
        if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(n)))
            return false;
    }
}

class PosixFileOps final : public UpdateFileOps {
public:
    bool FolderWritable(const std::string& folder) override {
        return ::access(folder.c_str(), W_OK | X_OK) == 0;
    }

    bool StageCopy(const std::string& from, const std::string& folder, mode_t mode,
                   std::string& staged) override {
        struct stat source {};
        if (::lstat(from.c_str(), &source) != 0 || !S_ISREG(source.st_mode))
            return false;
        std::string name = folder + "/.pallorwind-update.XXXXXX";
        int out = ::mkostemp(name.data(), O_CLOEXEC);
        if (out < 0)
            return false;
        bool ok = false;
        if (::rename(from.c_str(), name.c_str()) == 0) {
            // On the same file system the file itself moves over the name
            // just made; no copy.
            ::close(out);
            out = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            ok = out >= 0;
        } else {
            const int in = ::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            ok = in >= 0 && CopyContent(in, out);
            if (in >= 0)
                ::close(in);
        }
        ok = ok && ::fchmod(out, mode) == 0 && ::fsync(out) == 0;
        if (out >= 0 && ::close(out) != 0)
            ok = false;
        if (!ok) {
            ::unlink(name.c_str());
            return false;
        }
        staged = name;
        return true;
    }

    bool Remove(const std::string& path) override {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    }

    bool Rename(const std::string& from, const std::string& to) override {
        return std::rename(from.c_str(), to.c_str()) == 0;
    }
};

} // namespace

UpdateFileOps& SystemFileOps() {
    static PosixFileOps ops;
    return ops;
}

} // namespace pallorwind::win
