// The update check and install: asks the update folder on the vendor's web
// server for the newest version, and when it is newer than the running
// executable and the user agrees, downloads the update archive, unpacks it
// and puts the new executable in place of the running one (it runs from the
// next start).
//
// CheckAndUpdate blocks on the network; it runs on the update worker thread
// (UpdateCheck), never on the event loop.
#pragma once

#include "UpdateFileOps.h"
#include "UpdateLimits.h"
#include "platform/http/HttpClient.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pallorwind::win {

enum UpdateResult : int {
    Updated = 0,          // the new executable is in place; it runs from the next start
    NoConnection = 1,     // no HTTP client could be set up
    RequestFailed = 2,    // "update.txt" or the archive cannot be requested
    VersionFileEmpty = 3, // reading "update.txt" gave no bytes
    DownloadFailed = 4,   // the archive cannot be saved
    NoLocalVersion = 5,   // the running executable yields no version
    NoNewerVersion = 6,   // not newer, or a version string is malformed
    NotInstalled = 7,     // declined or cancelled, or the executable cannot be replaced
};

const char* UpdateResultName(UpdateResult result);

// The update folder's files and the client's name.
inline constexpr const char* kVersionFileName = "update.txt";
inline constexpr const char* kArchiveFileName = "pallorwind_win_update.zip";
inline constexpr const char* kUpdateUserAgent = "AutoUpdateAgent";
// The previous executable, kept beside the new one.
inline constexpr const char* kBackupFileName = "OldExecutable.bak";
// The archive's top-level entry that carries the new executable. The Windows
// program's archive carries kWindowsExecutableEntry; this program's archive
// carries the program under its own name in that place.
inline constexpr const char* kWindowsExecutableEntry = "Pallorwind WIN.exe";
inline constexpr const char* kExecutableEntry = "pallorwind-win";
// The built-in update folder, used when "UpdateURL" is empty.
inline constexpr const char* kDefaultUpdateURL = "https://www.pallorwind.com/files/win/";

// Texts shown to the user. An update that did not end well is told under the
// program's own caption.
inline constexpr const char* kUpdateCaption = "PallorwindWin";
inline constexpr const char* kUpdateQuestionFormat =
    "An update of %s is now available. Proceed with the update?";
inline constexpr const char* kUpdateQuestionCaption = "Update is available";
inline constexpr const char* kUpdatedText =
    "The application was updated and will be available next time you run it.";
inline constexpr const char* kUpdatedCaption = "Updater";
inline constexpr const char* kCommandFailedText = "Command failed.";

// "update.txt" is read up to this many bytes; the rest is cut.
inline constexpr std::size_t kVersionFileLimit = 4096;

// Names an update gives its files while it runs: its private download folder
// in the temporary folder, and the new and the previous executable beside the
// running one until each takes its place. A later check removes what a run
// that was killed left behind.
inline constexpr const char* kTempFolderPrefix = "pallorwind-update.";
inline constexpr const char* kInstallPrefix = ".pallorwind-update.";
inline constexpr const char* kStagedPrefix = ".pallorwind-update.new.";
inline constexpr const char* kKeptPrefix = ".pallorwind-update.bak.";

struct UpdaterEnvironment {
    std::string executablePath; // the running executable
    std::string tempRoot;       // the private download folder is made in it
    // For "update.txt" and for the first response to the archive's request.
    platform::HttpLimits requestLimits{15000, 30000, 15000};
    // For the archive's download.
    platform::HttpLimits downloadLimits{15000, 30 * 60 * 1000, 30000};
    // A larger archive, announced or delivered, is not downloaded.
    std::uint64_t archiveLimit = kUpdateSizeLimit;
    UpdateFileOps* fileOps = nullptr; // null: SystemFileOps()
};

// What one attempt ended with. message, when not empty, is for the user
// (caption "PallorwindWin") in place of the result's own message: why an
// update that was found could not be installed, or, with Updated, what went
// wrong although the new executable is in place.
struct UpdateOutcome {
    UpdateResult result = NotInstalled;
    std::string message;
};

class CAutoUpdater {
public:
    // What CheckAndUpdate needs from its caller while it runs.
    struct Hooks {
        // Puts the question to the user and waits for the answer; true = Yes.
        std::function<bool(const std::string& question, const std::string& caption)> ask;
        // Bytes of the archive so far, and its announced size (0: unknown).
        std::function<void(std::uint64_t bytes, std::uint64_t total)> progress;
        // Set by the user's Cancel: the download stops, nothing is installed.
        const std::atomic<bool>* cancel = nullptr;
    };

    // http may be null (no connection).
    CAutoUpdater(std::unique_ptr<platform::HttpClient> http, UpdaterEnvironment environment);
    virtual ~CAutoUpdater();
    CAutoUpdater(const CAutoUpdater&) = delete;
    CAutoUpdater& operator=(const CAutoUpdater&) = delete;

    // One check and, with the user's consent, one install from the update
    // folder at baseUrl (ending with "/"; the file names are appended). Only
    // an https folder is used, or a plain http one on this computer. Starts
    // with TidyUp. Once the user has said Yes, every failure comes with a
    // message; Cancel is honoured until the executable is swapped.
    UpdateOutcome CheckAndUpdate(const std::string& baseUrl, const Hooks& hooks);

    // Removes what earlier runs that were killed left behind: their download
    // folders, and new or previous executables beside the running one (a
    // previous executable that the swap had already replaced becomes the
    // backup). Leaves alone whatever a run still going holds.
    void TidyUp();

private:
    UpdateOutcome Install(const std::string& baseUrl, const std::string& version,
                          const Hooks& hooks);
    UpdateOutcome InstallFrom(const std::string& folder, const std::string& baseUrl,
                              const std::string& version, const Hooks& hooks);
    UpdateOutcome Download(const std::string& archive, const std::string& baseUrl,
                           const Hooks& hooks);
    UpdateOutcome ReplaceExecutable(const std::string& newExecutable, const Hooks& hooks);
    void TidyInstallFolder();
    bool Cancelled(const Hooks& hooks) const;

    std::unique_ptr<platform::HttpClient> m_http;
    UpdaterEnvironment m_env;
    UpdateFileOps& m_files;
};

} // namespace pallorwind::win
