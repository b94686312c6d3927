// Downloads and installs an update archive of about N MB (default 20) from
// tests/update/update_server.py on loopback, several times, and compares the
// median wall time with "curl -o" of the same archive followed by
// pallorwind-unzip of it. While the updater runs, a 1 ms timer on the event
// loop records the longest gap between its ticks.
//
//   bench_update [--mb N] [--runs N] [--quick]

#include "tests/support/EventLoop.h"
#include "win/update/UpdateCheck.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace pallorwind;

namespace {

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int Run(const std::vector<std::string>& argv, const fs::path& cwd = {}) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const fs::path here = fs::current_path();
    if (!cwd.empty())
        fs::current_path(cwd);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
    if (!cwd.empty())
        fs::current_path(here);
    int status = 0;
    if (rc != 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Write(const fs::path& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

std::string Executable(const std::string& tag, const std::string& version, std::size_t bytes) {
    std::string text = "#!/bin/sh\necho " + tag + "\nexit 0\n";
    text += std::string("PALLORWIND-FILE-VERSION:") + version + '\0' + "\n";
    // Random bytes: the archive is about as large as the executable.
    std::mt19937_64 rng(7);
    while (text.size() < bytes) {
        const std::uint64_t v = rng();
        text.append(reinterpret_cast<const char*>(&v), 8);
    }
    text.resize(bytes);
    return text;
}

// update_server.py on 127.0.0.1; stopped with the object.
class Server {
public:
    explicit Server(const fs::path& root) {
        int fds[2];
        int in[2];
        if (::pipe(fds) != 0 || ::pipe(in) != 0)
            std::exit(1);
        // The server runs while its standard input is open: until m_in is
        // closed, or this process ends.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        std::string script = PALLORWIND_UPDATE_SERVER, rootText = root.string();
        char* args[] = {const_cast<char*>("python3"), script.data(), rootText.data(), nullptr};
        if (posix_spawnp(&m_pid, "python3", &actions, nullptr, args, environ) != 0)
            std::exit(1);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        ::close(in[0]);
        m_in = in[1];
        std::string line;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(fds[0]);
        port = std::atoi(line.c_str() + 5);
    }
    ~Server() {
        ::close(m_in);
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    int port = 0;

private:
    pid_t m_pid = -1;
    int m_in = -1;
};

} // namespace

int main(int argc, char** argv) {
    std::size_t megabytes = 20;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--mb" && i + 1 < argc) {
            megabytes = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--quick") {
            runs = 3;
        } else {
            std::printf("usage: bench_update [--mb N] [--runs N] [--quick]\n");
            return a == "--help" ? 0 : 2;
        }
    }
    QCoreApplication app(argc, argv);
    const char* tmp = std::getenv("TMPDIR");
    std::string scratch =
        std::string(tmp != nullptr ? tmp : "/tmp") + "/pallorwind-bench-update-XXXXXX";
    if (::mkdtemp(scratch.data()) == nullptr)
        return 1;
    const fs::path root = scratch;
    const fs::path site = root / "site" / "win";
    fs::create_directories(site);
    Write(root / "pallorwind-win", Executable("new", "99.0.0.0", megabytes << 20));
    if (Run({"zip", "-q", "-6", (site / "pallorwind_win_update.zip").string(), "pallorwind-win"},
            root) != 0) {
        std::fprintf(stderr, "zip failed\n");
        return 1;
    }
    fs::remove(root / "pallorwind-win");
    Write(site / "update.txt", "99.0");
    const auto archiveBytes = fs::file_size(site / "pallorwind_win_update.zip");
    Server server(root / "site");
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port) + "/files/win/";

    std::vector<double> ours, reference;
    std::vector<double> idleGaps, updateGaps;
    std::ostringstream quiet;
    for (int run = 0; run < runs; ++run) {
        // The reference: curl -o, then our own extraction of what it saved.
        const fs::path ref = root / "ref";
        fs::create_directories(ref);
        auto start = Clock::now();
        const int curl = Run({"curl", "-s", "-f", "-A", win::kUpdateUserAgent, "-o",
                              (ref / "archive.zip").string(), base + win::kArchiveFileName});
        const int unzip =
            Run({PALLORWIND_UNZIP, (ref / "archive.zip").string(), (ref / "out").string()});
        reference.push_back(Ms(Clock::now() - start));
        fs::remove_all(ref);
        if (curl != 0 || unzip != 0) {
            std::fprintf(stderr, "reference failed: curl %d, unzip %d\n", curl, unzip);
            return 1;
        }

        // The updater: check, download, unpack, swap, on its worker thread.
        const fs::path install = root / "install";
        const fs::path temp = root / "tmp";
        fs::create_directories(install);
        fs::create_directories(temp);
        Write(install / "pallorwind-win", Executable("old", "1.0.7.0", 4096));
        fs::permissions(install / "pallorwind-win", fs::perms(0755));
        win::HeadlessUpdateUi ui(true, quiet);
        win::UpdaterEnvironment env;
        env.executablePath = (install / "pallorwind-win").string();
        env.tempRoot = temp.string();
        platform::HttpClientOptions http;
        http.userAgent = win::kUpdateUserAgent;
        win::UpdateCheck check(ui, env, http);
        std::optional<win::UpdateOutcome> outcome;
        // The same loop idle for a while first: what the machine itself
        // costs the loop (other processes, the scheduler).
        test::LoopGapMeter loop(std::chrono::milliseconds(1));
        loop.Start();
        test::PumpFor(std::chrono::milliseconds(200));
        loop.Stop();
        const std::vector<double> idle = loop.GapsMs();
        idleGaps.insert(idleGaps.end(), idle.begin(), idle.end());
        loop.Start();
        start = Clock::now();
        check.Start(base, [&](win::UpdateOutcome o) { outcome = o; });
        test::PumpUntil([&] { return outcome.has_value(); }, std::chrono::minutes(5));
        ours.push_back(Ms(Clock::now() - start));
        loop.Stop();
        const std::vector<double> during = loop.GapsMs();
        updateGaps.insert(updateGaps.end(), during.begin(), during.end());
        if (!outcome || outcome->result != win::Updated) {
            std::fprintf(stderr, "update failed: %s\n",
                         outcome ? win::UpdateResultName(outcome->result) : "no result");
            return 1;
        }
        fs::remove_all(install);
        fs::remove_all(temp);
    }
    fs::remove_all(root);

    const double o = Median(ours), r = Median(reference);
    std::printf("archive %.1f MB (%zu MB executable), %d runs, median wall time\n",
                archiveBytes / 1048576.0, megabytes, runs);
    std::printf("  curl -o + pallorwind-unzip   %8.1f ms\n", r);
    std::printf("  updater (check+download+install) %8.1f ms   ratio %.2f (goal <= 1.2)\n", o,
                o / r);
    const auto report = [](const char* what, std::vector<double> gaps) {
        std::sort(gaps.begin(), gaps.end());
        const auto over = std::count_if(gaps.begin(), gaps.end(), [](double g) { return g >= 20; });
        std::printf("  event loop %-22s longest gap %6.1f ms, 99.9th percentile %5.1f ms, "
                    "%ld of %zu gaps >= 20 ms\n",
                    what, gaps.back(), gaps[gaps.size() * 999 / 1000], static_cast<long>(over),
                    gaps.size());
    };
    report("during the updates:", updateGaps);
    report("idle (machine noise):", idleGaps);
    return 0;
}
