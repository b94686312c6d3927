#include "osx/LayoutFiles.h"

#include "protocol/LayoutName.h"
#include "protocol/LayoutTransfer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pallorwind::osx {

std::string LayoutFileName(std::string_view name) {
    std::string file = protocol::SafeLayoutFileName(name);
    file.resize(file.size() - protocol::kLayoutExtension.size());
    return file;
}

std::string LayoutFolder(const std::string& desktop, const std::string& home) {
    if (!desktop.empty() && QDir().mkpath(QString::fromStdString(desktop)))
        return desktop;
    return home;
}

namespace {

// Moves `from` to `to` unless `to` exists; atomic. False with errno.
bool MoveNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // The file system has no such rename: a link does the same.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

} // namespace

SavedLayout SaveLayout(const std::string& folder, std::string_view name, std::string_view content) {
    SavedLayout saved;
    const std::string base = LayoutFileName(name);
    saved.renamed = base != name;

    std::string temp = folder + "/.pallorwind-layout-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        saved.error = std::strerror(errno);
        return saved;
    }
    const bool written = WriteAll(fd, content) && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temp.c_str());
        saved.error = std::strerror(writeError);
        return saved;
    }
    ::chmod(temp.c_str(), 0644);
    for (int number = 1; number < 1000; ++number) {
        const std::string path = folder + "/" + base +
                                 (number == 1 ? "" : " (" + std::to_string(number) + ")") +
                                 std::string(protocol::kLayoutExtension);
        if (MoveNoReplace(temp, path)) {
            saved.ok = true;
            saved.path = path;
            saved.renamed = saved.renamed || number > 1;
            return saved;
        }
        if (errno != EEXIST)
            break;
    }
    saved.error = std::strerror(errno);
    ::unlink(temp.c_str());
    return saved;
}

std::optional<std::string> ReadLayoutFile(const std::string& path, std::string& error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString().toStdString();
        return std::nullopt;
    }
    if (quint64(file.size()) > protocol::kMaxLayoutContentSize) {
        error = "larger than a layout can be";
        return std::nullopt;
    }
    const QByteArray bytes = file.read(qint64(protocol::kMaxLayoutContentSize) + 1);
    if (quint64(bytes.size()) > protocol::kMaxLayoutContentSize) {
        error = "larger than a layout can be";
        return std::nullopt;
    }
    return bytes.toStdString();
}

std::string LayoutSendName(const std::string& path) {
    return QFileInfo(QString::fromStdString(path)).fileName().toStdString();
}

} // namespace pallorwind::osx
