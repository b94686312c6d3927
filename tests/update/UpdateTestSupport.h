#pragma once

// The updater's tests: the update folder served over HTTP and HTTPS on
// loopback by tests/update/update_server.py, an installation with a small
// executable that says which one it is, and a user interface that records
// what it was shown.

#include "tests/support/ZipTestSupport.h"
#include "win/update/UpdateUi.h"

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace updatetest {

namespace fs = std::filesystem;

// Runs argv with extra environment entries ("NAME=value"); the child's
// standard output is read through ReadLine and Wait, its standard input is a
// pipe that stays open until this object or this process ends.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Reads one line of the child's output ("" at its end).
    std::string ReadLine();
    // Reads the rest of the output and waits for the exit; the exit code, or
    // -1 when it did not exit normally.
    int Wait(std::string& output);
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_in = -1; // the child's standard input
};

// update_server.py serving root, plain or with TLS.
struct ServerOptions {
    fs::path cert, key; // TLS when given
    std::string address = "127.0.0.1";
    fs::path log; // connections and requests, a line each
};
class UpdateServer {
public:
    explicit UpdateServer(const fs::path& root, const ServerOptions& options = {});
    UpdateServer(const fs::path& root, const fs::path& cert, const fs::path& key)
        : UpdateServer(root, ServerOptions{cert, key}) {}
    int Port() const { return m_port; }
    // The base URL of mode ("files", "stall", ...) and a case's folder.
    std::string Url(const std::string& mode, const std::string& folder) const;
    // The lines of its log so far.
    std::vector<std::string> Log() const;

private:
    ServerOptions m_options;
    Child m_child;
    int m_port = 0;
};

// A GET of path from a plain HTTP server, over a socket of its own (not the
// updater's HTTP client); true when an answer came.
bool RawGet(const std::string& address, int port, const std::string& path);

// An executable for the tests: a shell script printing tag, carrying a
// version record (none when version is empty).
std::string FakeExecutable(const std::string& tag, const std::string& version);
// Runs the file at path and returns what it printed ("" when it cannot run).
std::string RunExecutable(const fs::path& path);

// An installation folder with pallorwind-win in it, and a temporary folder.
struct Installation {
    explicit Installation(const std::string& version, const std::string& tag = "old");
    ziptest::ScratchDir dir;
    fs::path folder, exe, backup, temp;
    // Names in the installation folder, sorted.
    std::vector<std::string> Files() const;
    bool TempEmpty() const;
};

// Records what the updater shows, answering questions with answer.
class RecordingUi final : public pallorwind::win::UpdateUi {
public:
    bool answer = true;
    std::vector<std::string> asked; // "caption|question"
    std::vector<std::string> told;  // "caption|message"
    std::uint64_t bytes = 0, total = 0;
    int progressCalls = 0;
    std::function<void()> onProgress;

    void Ask(const std::string& question, const std::string& caption,
             std::function<void(bool)> reply) override {
        asked.push_back(caption + "|" + question);
        reply(answer);
    }
    // The start-up notice's answer: ok, and the check box.
    bool noticeOk = false, noticeDoNotCheck = false;
    int notices = 0;
    void StartupNotice(std::function<void(bool, bool)> reply) override {
        ++notices;
        reply(noticeOk, noticeDoNotCheck);
    }
    void Tell(const std::string& message, const std::string& caption) override {
        told.push_back(caption + "|" + message);
    }
    void Progress(std::uint64_t b, std::uint64_t t) override {
        bytes = b;
        total = t;
        ++progressCalls;
        if (onProgress)
            onProgress();
    }
};

} // namespace updatetest
