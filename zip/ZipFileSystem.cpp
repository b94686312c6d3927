#include "ZipFileSystem.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pallorwind::zip {

namespace ZipFileSystem {

namespace {

constexpr std::uint32_t kAttrReadOnly = 0x01;
constexpr unsigned kHostUnix = 3;

// True when name in the folder at is a symbolic link.
bool IsLink(int at, const char* name) {
    struct stat st {};
    return ::fstatat(at, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// Opens a folder that is not a symbolic link.
int OpenFolderAt(int at, const char* name) {
    return ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
    if (this != &other) {
        Descriptor old(m_fd);
        m_fd = other.Release();
    }
    return *this;
}

Descriptor::~Descriptor() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

int Descriptor::Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* in = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, in, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            return false;
        }
        in += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateFolderChain(const std::string& path) {
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    if (folder.empty() || folder == "/" || IsDirectory(folder)) {
        return true;
    }
    // Top down, one level at a time (no recursion: names can be very deep).
    std::size_t pos = folder.front() == '/' ? 1 : 0;
    while (pos <= folder.size()) {
        std::size_t next = folder.find('/', pos);
        if (next == std::string::npos) {
            next = folder.size();
        }
        if (next > pos) {
            std::string prefix = folder.substr(0, next);
            if (!IsDirectory(prefix)) {
                if (::mkdir(prefix.c_str(), 0777) != 0 &&
                    !(errno == EEXIST && IsDirectory(prefix))) {
                    return false;
                }
            }
        }
        pos = next + 1;
    }
    return true;
}

Descriptor OpenTargetFolder(const std::string& path) {
    const std::string folder = path.empty() ? std::string(".") : path;
    CreateFolderChain(folder); // the open below tells whether it is there
    return Descriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

Descriptor OpenFolderBelow(int base, const std::string& relative) {
    Descriptor current(::fcntl(base, F_DUPFD_CLOEXEC, 0));
    std::size_t pos = 0;
    while (current.IsOpen() && pos < relative.size()) {
        std::size_t next = relative.find('/', pos);
        if (next == std::string::npos) {
            next = relative.size();
        }
        const std::string name = relative.substr(pos, next - pos);
        pos = next + 1;
        if (name.empty()) {
            continue;
        }
        // A link is not followed by the open (O_NOFOLLOW) and makes it fail
        // with something other than ENOENT, so no folder is made in its place.
        Descriptor child(OpenFolderAt(current.Get(), name.c_str()));
        if (!child.IsOpen() && errno == ENOENT) {
            if (::mkdirat(current.Get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
                return Descriptor();
            }
            child = Descriptor(OpenFolderAt(current.Get(), name.c_str()));
        }
        if (!child.IsOpen()) {
            const int error = errno;
            errno = IsLink(current.Get(), name.c_str()) ? ELOOP : error;
            return Descriptor();
        }
        current = std::move(child);
    }
    return current;
}

bool SetFileTime(int fd, std::uint16_t dosDate, std::uint16_t dosTime) {
    std::tm tm{};
    tm.tm_year = (dosDate >> 9) + 1980 - 1900;
    tm.tm_mon = ((dosDate >> 5) & 15) - 1;
    tm.tm_mday = dosDate & 31;
    tm.tm_hour = dosTime >> 11;
    tm.tm_min = (dosTime >> 5) & 63;
    tm.tm_sec = (dosTime & 31) * 2;
    tm.tm_isdst = -1; // let the C library decide daylight-saving time
    std::time_t when = std::mktime(&tm);
    if (when == static_cast<std::time_t>(-1)) {
        return false;
    }
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_NOW;
    times[1].tv_sec = when;
    times[1].tv_nsec = 0;
    return ::futimens(fd, times) == 0;
}

bool ApplyAttributes(int fd, bool isFolder, std::uint16_t madeBy,
                     std::uint32_t externalAttributes) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    const mode_t current = st.st_mode & 07777;
    mode_t wanted = current;
    const mode_t unixMode = externalAttributes >> 16;
    if ((madeBy >> 8) == kHostUnix && unixMode != 0) {
        const mode_t type = unixMode & S_IFMT;
        const mode_t expected = isFolder ? S_IFDIR : S_IFREG;
        if (type != 0 && type != expected) {
            return true; // a mode for another kind of file (a link, a device): not applied
        }
        // Permission bits only: no set-user-id, set-group-id or sticky bit
        // from a downloaded archive. A folder keeps its owner's access so
        // that the entries inside it can still be written.
        wanted = unixMode & 0777;
        if (isFolder) {
            wanted |= 0700;
        }
    } else if ((externalAttributes & kAttrReadOnly) != 0 && !isFolder) {
        wanted = current & ~static_cast<mode_t>(0222);
    }
    if (wanted == current) {
        return true;
    }
    return ::fchmod(fd, wanted) == 0;
}

} // namespace ZipFileSystem

} // namespace pallorwind::zip
