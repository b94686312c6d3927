// One update check at a time, run on the update worker thread. The event loop
// only starts it and receives what it posts: the question, progress and the
// result.
#pragma once

#include "CAutoUpdater.h"
#include "UpdateSettings.h"
#include "UpdateUi.h"
#include "platform/app/MainThreadPoster.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace pallorwind::win {

// The update folder from the stored "UpdateURL", or the built-in one when the
// value is empty. (A stored plain http URL is refused by the check itself,
// unless it names this computer.)
std::string UpdateBaseUrl(UpdateSettings& settings);

class UpdateCheck {
public:
    // ui and the check live on the main thread (the one that makes them).
    UpdateCheck(UpdateUi& ui, UpdaterEnvironment environment,
                platform::HttpClientOptions httpOptions);
    // Cancels a check still running and waits for its thread, which ends
    // within about a second (libcurl looks at the cancel flag that often).
    ~UpdateCheck();
    UpdateCheck(const UpdateCheck&) = delete;
    UpdateCheck& operator=(const UpdateCheck&) = delete;

    using Done = std::function<void(UpdateOutcome)>;

    // RunUpdateCheck: starts one check of the update folder named by the
    // settings and returns at once. When it has ended, an outcome's message
    // is told to the user (kUpdateCaption), or else Updated ("Updater"),
    // then done runs, all on the main thread. False, doing nothing, while a
    // check is running; one started while TidyUp runs follows it.
    bool Start(UpdateSettings& settings, Done done = {});
    bool Start(const std::string& baseUrl, Done done = {});
    // Stops the download (or the question) of the running check; it ends
    // with NotInstalled and installs nothing. Too late once the new
    // executable is being swapped in.
    void Cancel();
    bool Running() const { return m_thread.joinable(); }
    // Removes, on the worker thread, what earlier updates that were killed
    // left behind (CAutoUpdater::TidyUp); every check does so too. Nothing
    // is told. Does nothing while a check runs.
    void TidyUp();

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<bool> answer;
        std::atomic<bool> cancel{false};
    };

    // baseUrl: the check of that folder; none: only the tidy-up.
    void Run(std::optional<std::string> baseUrl);
    bool AskOnMainThread(const std::string& question, const std::string& caption);
    void Finish(UpdateOutcome outcome);

    UpdateUi& m_ui;
    UpdaterEnvironment m_env;
    platform::HttpClientOptions m_httpOptions;
    std::shared_ptr<Shared> m_shared;
    Done m_done;
    bool m_tidying = false; // the running thread only tidies up
    // A check asked for while tidying: started when the tidy-up has ended.
    std::optional<std::pair<std::string, Done>> m_next;
    std::thread m_thread;
    platform::MainThreadPoster m_poster; // declared last: gone before the rest
};

// StartupUpdateCheck: what the program does at start-up, by the stored
// "AutoUpdateAtStartup": "0" shows the start-up notice, stores "2" when it
// was closed with Ok and its box ticked, "1" when closed with Ok, nothing
// otherwise, and then checks in any case; "1" checks; anything else only
// tidies up after earlier updates. settings, ui and check must outlive the
// notice.
void StartupUpdateCheck(UpdateSettings& settings, UpdateUi& ui, UpdateCheck& check,
                        UpdateCheck::Done done = {});

// For "pallorwind-win --update".
bool HasUpdateArgument(int argc, char** argv);
// One check and install on the command line: the question is answered Yes
// (the user asked for it), what happens is written to out. Runs the event
// loop until the check has ended. Exit code 0 for Updated or NoNewerVersion
// with nothing to tell; any failure has been told in a line of its own.
int RunHeadlessUpdate(UpdateSettings& settings, std::ostream& out);

} // namespace pallorwind::win
