#include "CZipBigFile.h"

#include "CFileError.h"
#include "ZipFileSystem.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pallorwind::zip {

CZipBigFile::~CZipBigFile() {
    Abort();
}

void CZipBigFile::OpenRead(const std::string& path) {
    Abort();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw CFileError("open", path, errno);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        throw CFileError("open", path, error);
    }
    m_fd = fd;
    m_szPath = path;
}

void CZipBigFile::Create(int folder, const std::string& name, const std::string& path) {
    Abort();
    // O_NONBLOCK keeps a FIFO that happens to sit at the path from blocking
    // us. Not O_TRUNC: what is there is looked at before it is emptied.
    int fd = ::openat(folder, name.c_str(),
                      O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw CFileError("create", path, errno);
    }
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = EEXIST;
    } else if (st.st_nlink > 1) {
        error = EMLINK;
    } else if (::ftruncate(fd, 0) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::close(fd);
        throw CFileError("create", path, error);
    }
    m_fd = fd;
    m_szPath = path;
}

std::size_t CZipBigFile::Read(void* buffer, std::size_t count) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
        ssize_t n = ::read(m_fd, out + done, count - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw CFileError("read", m_szPath, errno);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void CZipBigFile::Write(const void* buffer, std::size_t count) {
    if (!ZipFileSystem::WriteAll(m_fd, buffer, count)) {
        throw CFileError("write", m_szPath, errno);
    }
}

std::uint64_t CZipBigFile::Seek(std::int64_t offset, Origin origin) {
    int whence = origin == begin ? SEEK_SET : origin == current ? SEEK_CUR : SEEK_END;
    off_t pos = ::lseek(m_fd, static_cast<off_t>(offset), whence);
    if (pos < 0) {
        throw CFileError("seek in", m_szPath, errno);
    }
    return static_cast<std::uint64_t>(pos);
}

std::uint64_t CZipBigFile::GetLength() {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) {
        throw CFileError("read", m_szPath, errno);
    }
    return static_cast<std::uint64_t>(st.st_size);
}

void CZipBigFile::Close() {
    if (m_fd < 0) {
        return;
    }
    int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) {
        throw CFileError("close", m_szPath, errno);
    }
}

void CZipBigFile::Abort() noexcept {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace pallorwind::zip
