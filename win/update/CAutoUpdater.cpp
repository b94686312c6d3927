#include "CAutoUpdater.h"

#include "platform/app/Log.h"

#include "DottedVersion.h"
#include "ExecutableVersion.h"
#include "zip/CFileError.h"
#include "zip/CZipArchive.h"
#include "zip/CZipException.h"
#include "zip/ZipFileSystem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pallorwind::win {

using platform::HttpOutcome;
using zip::CFileError;
using zip::CZipArchive;
using zip::CZipException;
using zip::CZipFileHeader;
using zip::ZipFileSystem::WriteAll;

namespace {

constexpr std::size_t kExtractBuffer = 65535;

void Log(const std::string& line) {
    platform::Log::Line("update: " + line);
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

// The beginnings of what the user is told when an update stops after Yes.
constexpr const char* kCannotDownload = "The update could not be downloaded: ";
constexpr const char* kNotInstalled = "The update was not installed: ";

// An outcome that the user is told, and the log too.
UpdateOutcome Failure(UpdateResult result, std::string message) {
    Log(message);
    return {result, std::move(message)};
}

std::string SizeText(std::uint64_t bytes) {
    constexpr std::uint64_t kMiB = std::uint64_t(1) << 20;
    return bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MiB"
                             : std::to_string(bytes) + " bytes";
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
    TidyUp();

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
    case HttpOutcome::Refused:
        return Failure(RequestFailed, "The update folder " + baseUrl +
                                          " is not an https address. Updates are only "
                                          "fetched over https, or over http from this "
                                          "computer itself.");
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
    return Install(baseUrl, server, hooks);
}

UpdateOutcome CAutoUpdater::Install(const std::string& baseUrl, const std::string& version,
                                    const Hooks& hooks) {
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

    // From here on the user waits for the update: whatever stops it is told.
    // A private folder of our own, locked while this run uses it and removed
    // whatever the outcome.
    std::string temp = m_env.tempRoot + "/" + kTempFolderPrefix + "XXXXXX";
    if (::mkdtemp(temp.data()) == nullptr) {
        return Failure(DownloadFailed, std::string(kCannotDownload) + "cannot make a folder in " +
                                           m_env.tempRoot + ": " + std::strerror(errno));
    }
    UpdateOutcome outcome;
    {
        const FolderLock ours(temp);
        try {
            outcome = InstallFrom(temp, baseUrl, version, hooks);
        } catch (...) {
            std::error_code ignored;
            std::filesystem::remove_all(temp, ignored);
            throw;
        }
    }
    std::error_code error;
    std::filesystem::remove_all(temp, error);
    if (error)
        Log("cannot remove " + temp + ": " + error.message());
    return outcome;
}

UpdateOutcome CAutoUpdater::Download(const std::string& archive, const std::string& baseUrl,
                                     const Hooks& hooks) {
    const int fd = ::open(archive.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Failure(DownloadFailed, std::string(kCannotDownload) + "cannot create " + archive +
                                           ": " + std::strerror(errno));
    }
    int writeError = 0;
    bool tooLarge = false;
    std::uint64_t saved = 0;
    const auto save = [&](const char* data, std::size_t size) {
        saved += size;
        tooLarge = saved > m_env.archiveLimit;
        if (!tooLarge && !WriteAll(fd, data, size))
            writeError = errno;
        return !tooLarge && writeError == 0;
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
    if (::close(fd) != 0 && writeError == 0)
        writeError = errno;
    if (tooLarge) {
        return Failure(DownloadFailed, std::string(kCannotDownload) + "it is larger than " +
                                           SizeText(m_env.archiveLimit) + ".");
    }
    if (got.outcome == HttpOutcome::Cancelled) {
        Log("download cancelled");
        return {NotInstalled, ""};
    }
    if (writeError != 0) {
        return Failure(DownloadFailed, std::string(kCannotDownload) + "cannot write " + archive +
                                           ": " + std::strerror(writeError));
    }
    if (got.outcome != HttpOutcome::Completed)
        return Failure(DownloadFailed, kCannotDownload + Describe(kArchiveFileName, got) + ".");
    return {Updated, ""};
}

UpdateOutcome CAutoUpdater::InstallFrom(const std::string& folder, const std::string& baseUrl,
                                        const std::string& version, const Hooks& hooks) {
    const std::string archive = folder + "/" + kArchiveFileName;
    if (UpdateOutcome saved = Download(archive, baseUrl, hooks); saved.result != Updated)
        return saved;
    if (Cancelled(hooks))
        return {NotInstalled, ""};

    // Only the top-level executable entry is unpacked (the last one of that
    // name), and used only when it was written completely with a good CRC.
    const std::string unpacked = folder + "/files";
    try {
        CZipArchive zip;
        zip.SetUnpackLimit(kUpdateSizeLimit);
        zip.OpenReadOnly(archive);
        std::optional<std::uint16_t> found;
        for (std::uint16_t i = 0; i < zip.EntryCount(); ++i) {
            CZipFileHeader info;
            zip.GetFileInfo(i, info);
            if (!info.IsDirectory() &&
                CZipArchive::RelativePath(info.GetFileName(), true) == kExecutableEntry)
                found = i;
        }
        if (!found) {
            return Failure(NotInstalled, std::string(kNotInstalled) +
                                             "the update archive holds no " + kExecutableEntry +
                                             ".");
        }
        if (!zip.ExtractEntry(*found, unpacked, true, kExtractBuffer)) {
            return Failure(NotInstalled, std::string(kNotInstalled) + "the " + kExecutableEntry +
                                             " in the update archive cannot be unpacked "
                                             "completely.");
        }
    } catch (const CZipException& e) {
        Log(std::string("the archive cannot be read: ") + e.what());
        return {NotInstalled, kCommandFailedText};
    } catch (const CFileError& e) {
        Log(e.what());
        return {NotInstalled, e.what()};
    }
    if (Cancelled(hooks))
        return {NotInstalled, ""};

    // The executable must be the version the update folder announced.
    const std::string newExecutable = unpacked + "/" + kExecutableEntry;
    const std::string carried = ReadExecutableVersion(newExecutable);
    if (carried.empty() || CompareDottedVersions(version, carried) != 0) {
        return Failure(
            NotInstalled,
            std::string(kNotInstalled) + "the " + kExecutableEntry + " in the update archive " +
                (carried.empty() ? std::string("carries no version") : "is version " + carried) +
                ", but " + kVersionFileName + " announces " + version + ".");
    }
    return ReplaceExecutable(newExecutable, hooks);
}

// The swap keeps a complete executable under the executable's path at every
// moment: the new file is copied into the same folder, the running one gets
// a second name there, and one rename() puts the new file in its place; only
// then does the previous one become the backup. If it cannot, the swap is
// undone, so that an update either completes (new executable, previous one
// as backup) or leaves both as they were.
UpdateOutcome CAutoUpdater::ReplaceExecutable(const std::string& newExecutable,
                                              const Hooks& hooks) {
    const std::string& path = m_env.executablePath;
    const std::string folder = FolderOf(path);
    const std::string backup = folder + "/" + kBackupFileName;
    struct stat fresh {};
    struct stat old {};
    if (::lstat(newExecutable.c_str(), &fresh) != 0 || !S_ISREG(fresh.st_mode) ||
        fresh.st_size == 0) {
        return Failure(NotInstalled, std::string(kNotInstalled) + "the new " + kExecutableEntry +
                                         " is not a regular file.");
    }
    if (::stat(path.c_str(), &old) != 0) {
        return Failure(NotInstalled, std::string(kNotInstalled) + "cannot read " + path + ": " +
                                         std::strerror(errno) + ".");
    }
    // One run at a time puts files into the folder.
    const FolderLock lock(folder);
    if (lock.GetState() == FolderLock::Busy) {
        return Failure(NotInstalled, std::string(kNotInstalled) +
                                         "another update is being installed into " + folder + ".");
    }
    // The new file takes the old one's permissions, and can always be run
    // by its owner.
    const mode_t mode = (old.st_mode & 07777 & ~mode_t(S_ISUID | S_ISGID)) | S_IRUSR | S_IXUSR;
    std::string staged;
    if (!m_files.StageCopy(newExecutable, folder + "/" + kStagedPrefix, mode, staged)) {
        return Failure(NotInstalled, std::string(kNotInstalled) +
                                         "cannot copy the new version into " + folder + ".");
    }
    if (::access(staged.c_str(), X_OK) != 0) {
        m_files.Remove(staged);
        return Failure(NotInstalled, std::string(kNotInstalled) + "the new version cannot be run.");
    }
    std::string kept;
    if (!m_files.StageLink(path, folder + "/" + kKeptPrefix, kept)) {
        m_files.Remove(staged);
        return Failure(NotInstalled, std::string(kNotInstalled) +
                                         "cannot keep the running version aside in " + folder +
                                         ".");
    }
    // The last moment a Cancel counts.
    if (Cancelled(hooks)) {
        m_files.Remove(staged);
        m_files.Remove(kept);
        return {NotInstalled, ""};
    }
    if (!m_files.Rename(staged, path)) {
        const int error = errno;
        m_files.Remove(staged);
        m_files.Remove(kept);
        return Failure(NotInstalled, std::string(kNotInstalled) +
                                         "cannot move the new version to " + path + ": " +
                                         std::strerror(error) + ".");
    }
    if (!m_files.Rename(kept, backup)) {
        const std::string why = std::strerror(errno);
        if (m_files.Rename(kept, path)) {
            return Failure(NotInstalled, std::string(kNotInstalled) +
                                             "the previous version cannot be kept as " + backup +
                                             " (" + why + "), so it was put back in place.");
        }
        return Failure(Updated, "The new version of " + FileNameOf(path) +
                                    " is in place, but the previous version could not be kept "
                                    "as " +
                                    backup + " (" + why +
                                    "), and the update could not be undone. The previous "
                                    "version is at " +
                                    kept + " until the next update check.");
    }
    if (!m_files.SyncFolder(folder))
        Log("cannot write " + folder + " through to the disk: " + std::strerror(errno));
    return {Updated, ""};
}

void CAutoUpdater::TidyUp() {
    namespace fs = std::filesystem;
    // Download folders whose run ended without removing them: any that a
    // running update still holds is locked.
    std::vector<fs::path> folders;
    std::error_code error;
    for (fs::directory_iterator it(m_env.tempRoot, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().filename().string().rfind(kTempFolderPrefix, 0) == 0)
            folders.push_back(it->path());
    }
    for (const fs::path& folder : folders) {
        const FolderLock lock(folder.string());
        if (lock.GetState() != FolderLock::Held)
            continue; // in use, not a folder, or not ours
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        Log("removed " + folder.string() + ", left by an earlier update");
    }
    TidyInstallFolder();
}

void CAutoUpdater::TidyInstallFolder() {
    namespace fs = std::filesystem;
    const std::string& path = m_env.executablePath;
    const std::string folder = FolderOf(path);
    if (!m_files.FolderWritable(folder))
        return;
    const FolderLock lock(folder);
    if (lock.GetState() != FolderLock::Held)
        return; // an update is putting files there now, or it cannot be told
    std::vector<std::string> left;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().filename().string().rfind(kInstallPrefix, 0) == 0)
            left.push_back(it->path().string());
    }
    // A previous version kept aside that is no longer the executable was
    // swapped out by a run that ended before it became the backup: the most
    // recent such one becomes it now. Everything else goes.
    std::string previous;
    struct timespec newest {};
    for (const std::string& file : left) {
        struct stat st {};
        if (FileNameOf(file).rfind(kKeptPrefix, 0) != 0 || SameFile(file, path) ||
            ::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (previous.empty() || st.st_ctim.tv_sec > newest.tv_sec ||
            (st.st_ctim.tv_sec == newest.tv_sec && st.st_ctim.tv_nsec > newest.tv_nsec)) {
            previous = file;
            newest = st.st_ctim;
        }
    }
    const std::string backup = folder + "/" + kBackupFileName;
    // One that cannot become the backup stays for a later try.
    if (!previous.empty() && m_files.Rename(previous, backup))
        Log("kept " + previous + ", left by an earlier update, as " + backup);
    for (const std::string& file : left) {
        if (file != previous && m_files.Remove(file))
            Log("removed " + file + ", left by an earlier update");
    }
}

} // namespace pallorwind::win
