// The headless program as a user runs it: the real pallorwind-win binary with
// a private settings folder, an app on loopback, and a signal to end it.
#include "tools/appsim/AppConnection.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace pallorwind::win {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One run of the program, its standard output and error read through pipes.
class Program {
public:
    Program(const std::vector<std::string>& args, const QString& configHome) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::setenv("XDG_CONFIG_HOME", configHome.toLocal8Bit().constData(), 1);
            // The MIDI system is the fixture's private JACK server (CTest's
            // environment names it); no device is chosen in the settings.
            ::setenv("AVAHI_COMPAT_NOWARN", "1", 1);
            std::vector<char*> argv{const_cast<char*>(PALLORWIND_WIN_BINARY)};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execv(PALLORWIND_WIN_BINARY, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Program() {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
        if (m_err >= 0)
            ::close(m_err);
    }
    bool Started() const { return m_pid > 0; }

    // Reads standard error until it holds `text` (after `from`); the offset
    // just past it, or nothing when it did not come within `timeout`.
    std::optional<std::size_t> WaitForError(const std::string& text, std::size_t from = 0,
                                            std::chrono::milliseconds timeout = 10s) {
        const auto end = Clock::now() + timeout;
        for (;;) {
            if (const auto at = err.find(text, from); at != std::string::npos)
                return at + text.size();
            if (Clock::now() >= end || !ReadSome(end))
                return std::nullopt;
        }
    }

    // Waits for the exit, reading both streams to their end; the wait status,
    // or nothing after `timeout`.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout = 10s) {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end && ReadSome(end)) {
        }
        while (!m_status && Clock::now() < end) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid)
                m_status = status;
            else
                ::usleep(5000);
        }
        return m_status;
    }

    void Signal(int signal) const { ::kill(m_pid, signal); }

    std::string out;
    std::string err;

private:
    // Reads what one of the streams has; false once both are at their end.
    bool ReadSome(Clock::time_point end) {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (m_out < 0 && m_err < 0)
            return false;
        if (::poll(fds, 2, int(std::max<long>(left.count(), 0))) <= 0)
            return true;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            char buffer[4096];
            const long n = ::read(fds[i].fd, buffer, sizeof buffer);
            int& fd = i == 0 ? m_out : m_err;
            if (n <= 0) {
                ::close(fd);
                fd = -1;
            } else {
                (i == 0 ? out : err).append(buffer, std::size_t(n));
            }
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::optional<int> m_status;
};

bool ExitedWith(const std::optional<int>& status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

TEST(Program, HeadlessRunServesAnAppAndEndsCleanlyOnASignal) {
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());

    // --help and --version answer on standard output and start nothing.
    {
        Program help({"--help"}, config.path());
        ASSERT_TRUE(help.Started());
        EXPECT_TRUE(ExitedWith(help.WaitForExit(), 0));
        EXPECT_EQ(help.out.rfind("Usage: pallorwind-win", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("--headless"), std::string::npos);
        Program version({"--version"}, config.path());
        EXPECT_TRUE(ExitedWith(version.WaitForExit(), 0));
        EXPECT_EQ(version.out, "pallorwind-win " PALLORWIND_VERSION "\n");
        Program wrong({"--tray-please"}, config.path());
        EXPECT_TRUE(ExitedWith(wrong.WaitForExit(), 2));
        EXPECT_NE(wrong.err.find("unknown argument \"--tray-please\""), std::string::npos);
        EXPECT_EQ(wrong.err.find("listening"), std::string::npos);
    }
    ASSERT_TRUE(QDir().mkpath(config.path() + "/Pallorwind"));
    QFile settings(config.path() + "/Pallorwind/PallorwindWIN.conf");
    ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
    settings.write("[General]\nPort=0\n");
    settings.close();

    // SIGTERM after the app has gone, SIGINT while it is connected.
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
        Program bridge({"--headless"}, config.path());
        ASSERT_TRUE(bridge.Started());
        const auto listening = bridge.WaitForError("listening on TCP port ");
        ASSERT_TRUE(listening) << bridge.err;
        const int port = std::atoi(bridge.err.c_str() + *listening);
        ASSERT_GT(port, 0) << bridge.err;
        // The port the system chose is stored in the private settings.
        ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
        EXPECT_TRUE(settings.readAll().contains("Port=" + QByteArray::number(port)));
        settings.close();

        auto app = appsim::AppConnection::Connect("127.0.0.1", std::uint16_t(port));
        const auto connected = bridge.WaitForError("app connected (1 connected)");
        ASSERT_TRUE(connected) << bridge.err;
        // A broken record is dropped; the note after it reaches the MIDI
        // side, which has no output device open and says what it did not play.
        app.Send({0x90, 0xFF, 0x40, 0x90, 0x3C, 0x7F});
        const auto played = bridge.WaitForError("not played: 90 3C 7F  note-on ch1 60 127\n");
        EXPECT_TRUE(played) << bridge.err;
        EXPECT_EQ(bridge.err.find("90 FF 40"), std::string::npos) << bridge.err;
        if (signal == SIGTERM) {
            app.Close();
            EXPECT_TRUE(bridge.WaitForError("app disconnected (0 connected)", *connected))
                << bridge.err;
        }

        bridge.Signal(signal);
        const auto status = bridge.WaitForExit(5s);
        EXPECT_TRUE(ExitedWith(status, 0)) << (status ? *status : -1) << "\n" << bridge.err;
        if (signal == SIGINT) {
            // The exit sequence closed the service: the app sees the end.
            EXPECT_TRUE(app.ReceiveUntilClosed(5s));
        }
    }
}

} // namespace
} // namespace pallorwind::win
