#include "CAutoUpdater.h"

#include "CFileError.h"
#include "CZipArchive.h"
#include "CZipException.h"
#include "DottedVersion.h"
#include "ExecutableVersion.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace pallorwind::win {

using platform::HttpOutcome;

namespace {

constexpr std::size_t kExtractBuffer = 65535;

void Log(const std::string& line) {
    std::cerr << "pallorwind: update: " << line << '\n';
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Describe(const std::string& what, const platform::HttpResult& r) {
    std::string text = what + ": " + platform::HttpOutcomeText(r.outcome);
    if (r.status != 0)
        text += " (HTTP " + std::to_string(r.status) + ")";
    if (!r.error.empty())
        text += ": " + r.error;
    return text;
}

} // namespace

const char* UpdateResultName(UpdateResult result) {
    switch (result) {
    case Updated:
        return "Updated";
    case NoConnection:
        return "NoConnection";
    case RequestFailed:
        return "RequestFailed";
    case VersionFileEmpty:
        return "VersionFileEmpty";
    case DownloadFailed:
        return "DownloadFailed";
    case NoLocalVersion:
        return "NoLocalVersion";
    case NoNewerVersion:
        return "NoNewerVersion";
    case NotInstalled:
        return "NotInstalled";
    }
    return "?";
}

CAutoUpdater::CAutoUpdater(std::unique_ptr<platform::HttpClient> http,
                           UpdaterEnvironment environment)
    : m_http(std::move(http)), m_env(std::move(environment)),
      m_files(m_env.fileOps != nullptr ? *m_env.fileOps : SystemFileOps()) {
}

CAutoUpdater::~CAutoUpdater() = default;

bool CAutoUpdater::Cancelled(const Hooks& hooks) const {
    return hooks.cancel != nullptr && hooks.cancel->load();
}

UpdateOutcome CAutoUpdater::CheckAndUpdate(const std::string& baseUrl, const Hooks& hooks) {
    if (!m_http)
        return {NoConnection, ""};

    // The version file: its first kVersionFileLimit bytes count, the rest is
    // not read.
    std::string body;
    const auto take = [&body](const char* data, std::size_t size) {
        body.append(data, std::min(size, kVersionFileLimit - body.size()));
        return body.size() < kVersionFileLimit;
    };
    const auto goOn = [&](std::uint64_t, std::uint64_t) { return !Cancelled(hooks); };
    const platform::HttpResult got =
        m_http->Get(baseUrl + kVersionFileName, m_env.requestLimits, take, goOn);
    switch (got.outcome) {
    case HttpOutcome::Completed:
    case HttpOutcome::Stopped:
        break;
    case HttpOutcome::Cancelled:
        return {NotInstalled, ""};
    case HttpOutcome::HttpError:
    case HttpOutcome::ConnectFailed:
        Log(Describe(kVersionFileName, got));
        return {RequestFailed, ""};
    case HttpOutcome::TimedOut:
    case HttpOutcome::TransferFailed:
        // No response at all: the request failed; a response whose body
        // broke off: the read failed.
        Log(Describe(kVersionFileName, got));
        return {got.responded ? VersionFileEmpty : RequestFailed, ""};
    }
    const std::string server = body.substr(0, body.find('\0'));
    if (body.empty())
        return {VersionFileEmpty, ""};

    const std::string local = ReadExecutableVersion(m_env.executablePath);
    if (local.empty()) {
        Log(m_env.executablePath + " carries no version");
        return {NoLocalVersion, ""};
    }
    if (CompareDottedVersions(server, local) != 1)
        return {NoNewerVersion, ""};
    Log("version " + server + " is available (running " + local + ")");
    return Install(baseUrl, hooks);
}

UpdateOutcome CAutoUpdater::Install(const std::string& baseUrl, const Hooks& hooks) {
    // The archive must answer before the user is asked: its first response
    // is fetched and the transfer stopped there.
    const auto goOn = [&](std::uint64_t, std::uint64_t) { return !Cancelled(hooks); };
    const platform::HttpResult opened = m_http->Get(
        baseUrl + kArchiveFileName, m_env.requestLimits,
        [](const char*, std::size_t) { return false; }, goOn);
    if (opened.outcome == HttpOutcome::Cancelled)
        return {NotInstalled, ""};
    if (opened.outcome != HttpOutcome::Completed && opened.outcome != HttpOutcome::Stopped) {
        Log(Describe(kArchiveFileName, opened));
        return {RequestFailed, ""};
    }

    const std::string folder = FolderOf(m_env.executablePath);
    const std::string name = FileNameOf(m_env.executablePath);
    if (!m_files.FolderWritable(folder)) {
        return {NotInstalled, "An update of " + name +
                                  " is available, but it cannot be installed here: the folder " +
                                  folder +
                                  " is not writable. Install the update the way this copy "
                                  "was installed."};
    }

    // The question with the program's name in place of its "%s", built by
    // appending (GCC 12 warns falsely about an in-place replace at -O3).
    const std::string format = kUpdateQuestionFormat;
    const std::size_t at = format.find("%s");
    std::string question = format.substr(0, at);
    question += name;
    question += format.substr(at + 2);
    if (!hooks.ask || !hooks.ask(question, kUpdateQuestionCaption) || Cancelled(hooks))
        return {NotInstalled, ""};

    // A private folder of our own, removed whatever the outcome.
    std::string temp = m_env.tempRoot + "/pallorwind-update.XXXXXX";
    if (::mkdtemp(temp.data()) == nullptr) {
        Log("cannot make a folder in " + m_env.tempRoot);
        return {DownloadFailed, ""};
    }
    UpdateOutcome outcome;
    try {
        outcome = InstallFrom(temp, baseUrl, hooks);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(temp, ignored);
        throw;
    }
    std::error_code error;
    std::filesystem::remove_all(temp, error);
    if (error)
        Log("cannot remove " + temp + ": " + error.message());
    return outcome;
}

UpdateOutcome CAutoUpdater::InstallFrom(const std::string& folder, const std::string& baseUrl,
                                        const Hooks& hooks) {
    const std::string archive = folder + "/" + kArchiveFileName;
    const int fd = ::open(archive.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        Log("cannot create " + archive);
        return {DownloadFailed, ""};
    }
    bool writeFailed = false;
    bool tooLarge = false;
    std::uint64_t saved = 0;
    const auto save = [&](const char* data, std::size_t size) {
        saved += size;
        tooLarge = saved > m_env.archiveLimit;
        writeFailed = tooLarge || !WriteAll(fd, data, size);
        return !writeFailed;
    };
    const auto progress = [&](std::uint64_t bytes, std::uint64_t total) {
        if (total > m_env.archiveLimit) {
            tooLarge = true;
            return false;
        }
        if (hooks.progress)
            hooks.progress(bytes, total);
        return !Cancelled(hooks);
    };
    const platform::HttpResult got =
        m_http->Get(baseUrl + kArchiveFileName, m_env.downloadLimits, save, progress);
    if (::close(fd) != 0)
        writeFailed = true;
    if (tooLarge) {
        Log(std::string(kArchiveFileName) + " is larger than " +
            std::to_string(m_env.archiveLimit) + " bytes");
        return {DownloadFailed, ""};
    }
    if (got.outcome == HttpOutcome::Cancelled) {
        Log("download cancelled");
        return {NotInstalled, ""};
    }
    if (got.outcome != HttpOutcome::Completed || writeFailed) {
        Log(writeFailed ? "cannot write " + archive : Describe(kArchiveFileName, got));
        return {DownloadFailed, ""};
    }

    // Everything is unpacked; only the top-level executable entry is used,
    // and only when it was written completely with a good CRC.
    const std::string unpacked = folder + "/files";
    bool seen = false;
    bool complete = false;
    try {
        CZipArchive zip;
        zip.OpenReadOnly(archive);
        for (std::uint16_t i = 0; i < zip.EntryCount(); ++i) {
            CZipFileHeader info;
            zip.GetFileInfo(i, info);
            const bool ok = zip.ExtractEntry(i, unpacked, true, kExtractBuffer);
            if (!info.IsDirectory() &&
                CZipArchive::RelativePath(info.GetFileName(), true) == kExecutableEntry) {
                seen = true;
                complete = ok;
            }
        }
    } catch (const CZipException& e) {
        Log(std::string("the archive cannot be read: ") + e.what());
        return {NotInstalled, kCommandFailedText};
    } catch (const CFileError& e) {
        Log(e.what());
        return {NotInstalled, e.what()};
    }
    if (!seen || !complete) {
        Log(std::string("the archive ") + (seen ? "holds an incomplete " : "holds no ") +
            kExecutableEntry);
        return {NotInstalled, ""};
    }
    std::string why;
    if (!ReplaceExecutable(unpacked + "/" + kExecutableEntry, why)) {
        Log(why);
        return {NotInstalled, ""};
    }
    return {Updated, ""};
}

bool CAutoUpdater::ReplaceExecutable(const std::string& newExecutable, std::string& why) {
    struct stat fresh {};
    struct stat old {};
    if (::lstat(newExecutable.c_str(), &fresh) != 0 || !S_ISREG(fresh.st_mode) ||
        fresh.st_size == 0) {
        why = std::string("the new ") + kExecutableEntry + " is not a regular file";
        return false;
    }
    const std::string& path = m_env.executablePath;
    if (::stat(path.c_str(), &old) != 0) {
        why = "cannot read " + path;
        return false;
    }
    const std::string folder = FolderOf(path);
    const std::string backup = folder + "/" + kBackupFileName;
    // The new file takes the old one's permissions, and can always be run
    // by its owner.
    const mode_t mode = (old.st_mode & 07777 & ~mode_t(S_ISUID | S_ISGID)) | S_IRUSR | S_IXUSR;

    // Copied into the executable's own folder first, so that the swap
    // itself is one rename() there.
    std::string staged;
    if (!m_files.StageCopy(newExecutable, folder, mode, staged)) {
        why = "cannot copy the new executable into " + folder;
        return false;
    }
    if (::access(staged.c_str(), X_OK) != 0) {
        m_files.Remove(staged);
        why = "the new executable cannot be run";
        return false;
    }
    // rename() replaces an earlier backup, which therefore stays when the
    // old executable cannot be moved.
    if (!m_files.Rename(path, backup)) {
        m_files.Remove(staged);
        why = "cannot move " + path + " to " + backup;
        return false;
    }
    if (!m_files.Rename(staged, path)) {
        why = "cannot move the new executable to " + path;
        if (!m_files.Rename(backup, path))
            why += "; and cannot move " + backup + " back";
        m_files.Remove(staged);
        return false;
    }
    return true;
}

} // namespace pallorwind::win
