#include "UpdateCheck.h"

#include "platform/app/Log.h"

#include "ExecutableVersion.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>

#include <chrono>
#include <cstring>
#include <iostream>
#include <mutex>
#include <ostream>
#include <pthread.h>

namespace pallorwind::win {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds(50);

const char* ResultText(UpdateResult result) {
    switch (result) {
    case Updated:
        return "the new version is in place; it runs from the next start";
    case NoConnection:
        return "no connection could be set up";
    case RequestFailed:
        return "the update folder could not be reached or did not have the file";
    case VersionFileEmpty:
        return "the update folder's version file was empty or could not be read";
    case DownloadFailed:
        return "the update could not be downloaded";
    case NoLocalVersion:
        return "this program carries no version";
    case NoNewerVersion:
        return "this is the newest version";
    case NotInstalled:
        return "the update was not installed";
    }
    return "";
}

} // namespace

std::string UpdateBaseUrl(UpdateSettings& settings) {
    std::string url = settings.ReadUpdateURL();
    return url.empty() ? std::string(kDefaultUpdateURL) : url;
}

void HeadlessUpdateUi::Ask(const std::string& question, const std::string& caption,
                           std::function<void(bool)> answer) {
    m_out << caption << ": " << question << ' ' << (m_answer ? "Yes" : "No") << '\n';
    answer(m_answer);
}

void HeadlessUpdateUi::StartupNotice(std::function<void(bool, bool)> reply) {
    m_out << kNoticeCaption << ": " << kNoticeText << '\n';
    reply(false, false);
}

void HeadlessUpdateUi::Tell(const std::string& message, const std::string& caption) {
    m_out << caption << ": " << message << '\n';
}

void HeadlessUpdateUi::Progress(std::uint64_t bytes, std::uint64_t total) {
    if (total == 0)
        return;
    const int tenths = static_cast<int>(bytes * 10 / total);
    if (tenths == m_shownTenths)
        return;
    m_shownTenths = tenths;
    m_out << "downloaded " << tenths * 10 << " % of " << total << " bytes\n";
}

UpdateCheck::UpdateCheck(UpdateUi& ui, UpdaterEnvironment environment,
                         platform::HttpClientOptions httpOptions)
    : m_ui(ui), m_env(std::move(environment)), m_httpOptions(std::move(httpOptions)) {
    m_ui.SetCancel([this] { Cancel(); });
}

UpdateCheck::~UpdateCheck() {
    m_ui.SetCancel(nullptr);
    Cancel();
    if (m_thread.joinable())
        m_thread.join();
}

bool UpdateCheck::Start(UpdateSettings& settings, Done done) {
    if (Running())
        return false;
    return Start(UpdateBaseUrl(settings), std::move(done));
}

bool UpdateCheck::Start(const std::string& baseUrl, Done done) {
    if (Running()) {
        if (!m_tidying || m_next)
            return false;
        m_next.emplace(baseUrl, std::move(done));
        return true;
    }
    m_shared = std::make_shared<Shared>();
    m_done = std::move(done);
    m_tidying = false;
    m_thread = std::thread([this, baseUrl] { Run(baseUrl); });
    return true;
}

void UpdateCheck::TidyUp() {
    if (Running())
        return;
    m_shared = std::make_shared<Shared>();
    m_done = nullptr;
    m_tidying = true;
    m_thread = std::thread([this] { Run(std::nullopt); });
}

void UpdateCheck::Cancel() {
    if (!m_shared)
        return;
    std::lock_guard lock(m_shared->mutex);
    m_shared->cancel = true;
    m_shared->changed.notify_all();
}

bool UpdateCheck::AskOnMainThread(const std::string& question, const std::string& caption) {
    const std::shared_ptr<Shared> shared = m_shared;
    m_poster.Post([this, shared, question, caption] {
        m_ui.Ask(question, caption, [shared](bool yes) {
            std::lock_guard lock(shared->mutex);
            shared->answer = yes;
            shared->changed.notify_all();
        });
    });
    std::unique_lock lock(shared->mutex);
    shared->changed.wait(lock, [&] { return shared->answer.has_value() || shared->cancel; });
    return !shared->cancel && *shared->answer;
}

void UpdateCheck::Run(std::optional<std::string> baseUrl) {
    pthread_setname_np(pthread_self(), "update"); // as top -H shows it
    const std::shared_ptr<Shared> shared = m_shared;
    UpdateOutcome outcome;
    try {
        if (!baseUrl) {
            CAutoUpdater(nullptr, m_env).TidyUp();
            m_poster.Post([this] { Finish({}); });
            return;
        }
        CAutoUpdater updater(platform::CreateHttpClient(m_httpOptions), m_env);
        CAutoUpdater::Hooks hooks;
        hooks.ask = [this](const std::string& q, const std::string& c) {
            return AskOnMainThread(q, c);
        };
        auto last = std::chrono::steady_clock::time_point{};
        hooks.progress = [this, &last](std::uint64_t bytes, std::uint64_t total) {
            const auto now = std::chrono::steady_clock::now();
            const bool complete = total != 0 && bytes == total;
            if (now - last < kProgressInterval && !complete)
                return;
            last = now;
            m_poster.Post([this, bytes, total] { m_ui.Progress(bytes, total); });
        };
        hooks.cancel = &shared->cancel;
        outcome = updater.CheckAndUpdate(*baseUrl, hooks);
    } catch (const std::exception& e) {
        platform::Log::Linef("update: %s", e.what());
        outcome = {NotInstalled, kCommandFailedText};
    }
    m_poster.Post([this, outcome] { Finish(outcome); });
}

void UpdateCheck::Finish(UpdateOutcome outcome) {
    m_thread.join();
    if (m_tidying) {
        m_tidying = false;
        if (m_next) {
            auto [url, done] = std::move(*m_next);
            m_next.reset();
            Start(url, std::move(done));
        }
        return;
    }
    platform::Log::Linef("update: %s", UpdateResultName(outcome.result));
    if (!outcome.message.empty())
        m_ui.Tell(outcome.message, kUpdateCaption);
    else if (outcome.result == Updated)
        m_ui.Tell(kUpdatedText, kUpdatedCaption);
    m_ui.End();
    Done done = std::move(m_done);
    m_done = nullptr;
    if (done)
        done(std::move(outcome));
}

void StartupUpdateCheck(UpdateSettings& settings, UpdateUi& ui, UpdateCheck& check,
                        UpdateCheck::Done done) {
    const std::string mode = settings.ReadAutoUpdateAtStartup();
    if (mode == "1") {
        check.Start(settings, std::move(done));
    } else if (mode == "0") {
        ui.StartupNotice([&settings, &check, done = std::move(done)](bool ok, bool doNotCheck) {
            if (ok)
                settings.WriteAutoUpdateAtStartup(doNotCheck ? "2" : "1");
            check.Start(settings, done);
        });
    } else {
        check.TidyUp();
    }
}

bool HasUpdateArgument(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--update") == 0)
            return true;
    }
    return false;
}

int RunHeadlessUpdate(UpdateSettings& settings, std::ostream& out) {
    HeadlessUpdateUi ui(true, out);
    UpdaterEnvironment env;
    env.executablePath = QCoreApplication::applicationFilePath().toStdString();
    env.tempRoot = QDir::tempPath().toStdString();
    platform::HttpClientOptions http;
    http.userAgent = kUpdateUserAgent;
    UpdateCheck check(ui, env, http);

    const std::string url = UpdateBaseUrl(settings);
    out << "pallorwind-win " << EmbeddedVersion() << ": checking " << url << kVersionFileName
        << '\n';
    UpdateOutcome outcome;
    QEventLoop loop;
    check.Start(url, [&](UpdateOutcome o) {
        outcome = std::move(o);
        loop.quit();
    });
    loop.exec();
    out << "update: " << UpdateResultName(outcome.result) << ": " << ResultText(outcome.result)
        << '\n';
    const bool fine = outcome.result == Updated || outcome.result == NoNewerVersion;
    return fine && outcome.message.empty() ? 0 : 1;
}

} // namespace pallorwind::win
