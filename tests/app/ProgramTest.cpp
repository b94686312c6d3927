// The headless program as a user runs it: the real pallorwind-win binary with
// a private settings folder, an app on loopback, and a signal to end it.
#include "tests/support/Signal.h"
#include "tools/appsim/AppConnection.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <optional>

namespace pallorwind::win {
namespace {

using namespace std::chrono_literals;

// One run of the program, with a private settings folder.
class Program {
public:
    // `display`: the desktop the program finds; empty for none. `platform`:
    // how Qt reaches it (empty: Qt's own choice).
    Program(const QStringList& args, const QString& configHome, const QString& display = {},
            const QString& platform = "offscreen") {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", configHome);
        env.insert("XDG_DATA_HOME", configHome + "/data"); // the file type goes there
        env.insert("XDG_RUNTIME_DIR", configHome);
        env.insert("AVAHI_COMPAT_NOWARN", "1");
        env.remove("WAYLAND_DISPLAY");
        env.remove("DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        if (!display.isEmpty()) {
            // A desktop without a tray host: Qt's offscreen platform. No
            // runtime folder is set (as in an ssh session with X forwarding):
            // the program makes its own under the temporary folder.
            env.insert("DISPLAY", display);
            if (!platform.isEmpty())
                env.insert("QT_QPA_PLATFORM", platform);
            env.remove("XDG_RUNTIME_DIR");
            env.insert("TMPDIR", configHome);
        }
        // The MIDI system is the fixture's private JACK server (CTest's
        // environment names it); no device is chosen in the settings.
        process.setProcessEnvironment(env);
        process.setReadChannel(QProcess::StandardError); // what waitForReadyRead waits for
        process.start(PALLORWIND_WIN_BINARY, args);
    }
    ~Program() {
        process.kill();
        process.waitForFinished();
    }

    // Reads standard error until it holds `text` (after `from`); the offset
    // just past it, or nothing when it did not come within `timeout`.
    std::optional<qsizetype> WaitForError(const QByteArray& text, qsizetype from = 0,
                                          std::chrono::milliseconds timeout = 10s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            err += process.readAllStandardError();
            if (const qsizetype at = err.indexOf(text, from); at >= 0)
                return at + text.size();
            const auto left = end - std::chrono::steady_clock::now();
            if (left <= 0s || !process.waitForReadyRead(int(left / 1ms)))
                return std::nullopt;
        }
    }

    // Exited normally with `code` within `timeout`.
    bool ExitsWith(int code, std::chrono::milliseconds timeout = 10s) {
        const bool finished = process.waitForFinished(int(timeout / 1ms));
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
        return finished && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == code;
    }

    QProcess process;
    QByteArray out;
    QByteArray err;
};

TEST(Program, HeadlessRunServesAnAppAndEndsCleanlyOnASignal) {
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());

    // --help and --version answer on standard output and start nothing.
    {
        Program help({"--help"}, config.path());
        EXPECT_TRUE(help.ExitsWith(0));
        EXPECT_TRUE(help.out.startsWith("Usage: pallorwind-win")) << help.out.constData();
        EXPECT_TRUE(help.out.contains("--headless"));
        Program version({"--version"}, config.path());
        EXPECT_TRUE(version.ExitsWith(0));
        EXPECT_EQ(version.out, "pallorwind-win " PALLORWIND_VERSION "\n");
        Program wrong({"--tray-please"}, config.path());
        EXPECT_TRUE(wrong.ExitsWith(2));
        EXPECT_EQ(wrong.err, "pallorwind-win: unknown argument \"--tray-please\" (see --help)\n");
        EXPECT_FALSE(wrong.err.contains("listening"));
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
        const auto listening = bridge.WaitForError("listening on TCP port ");
        ASSERT_TRUE(listening) << bridge.err.constData();
        const int port = std::atoi(bridge.err.constData() + *listening);
        ASSERT_GT(port, 0);
        // The port the system chose is stored in the private settings.
        ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
        EXPECT_TRUE(settings.readAll().contains("Port=" + QByteArray::number(port)));
        settings.close();

        auto app = appsim::AppConnection::Connect("127.0.0.1", std::uint16_t(port));
        const auto connected = bridge.WaitForError("app connected (1 connected)");
        ASSERT_TRUE(connected) << bridge.err.constData();
        // Once the devices' results are in (records sent while the output
        // is still opening wait for it, and go with it if it fails)...
        ASSERT_TRUE(bridge.WaitForError("MIDI input ")) << bridge.err.constData();
        // ...a broken record is dropped; the note after it reaches the MIDI
        // side, which has no output device open and says what it did not play.
        app.Send({0x90, 0xFF, 0x40, 0x90, 0x3C, 0x7F});
        EXPECT_TRUE(bridge.WaitForError("not played: 90 3C 7F  note-on ch1 60 127\n"))
            << bridge.err.constData();
        EXPECT_FALSE(bridge.err.contains("90 FF 40")) << bridge.err.constData();
        if (signal == SIGTERM) {
            app.Close();
            EXPECT_TRUE(bridge.WaitForError("app disconnected (0 connected)", *connected))
                << bridge.err.constData();
        }

        test::Signal(bridge.process, signal);
        EXPECT_TRUE(bridge.ExitsWith(0, 5s)) << bridge.err.constData();
        if (signal == SIGINT) {
            // The exit sequence closed the service: the app sees the end.
            EXPECT_TRUE(app.ReceiveUntilClosed(5s));
        }
    }
}

TEST(Program, RunsHeadlessWithoutADisplayAndRunsOnWhereNoTrayHostRuns) {
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    for (const QString& display : {QString(), QStringLiteral(":pallorwind-test")}) {
        SCOPED_TRACE(display.isEmpty() ? "no display" : "no tray host");
        Program bridge({}, config.path(), display);
        ASSERT_TRUE(bridge.WaitForError("listening on TCP port ")) << bridge.err.constData();
        ASSERT_TRUE(bridge.WaitForError("MIDI input ")) << bridge.err.constData();
        EXPECT_FALSE(bridge.process.waitForFinished(1500));
        test::Signal(bridge.process, SIGTERM);
        EXPECT_TRUE(bridge.ExitsWith(0, 5s)) << bridge.err.constData();
        // Headless, messages are lines on standard error; on a desktop they
        // are boxes. Without a tray host the program shows its window after
        // a second, and keeps running until the signal.
        EXPECT_EQ(bridge.err.contains("PallorwindWin: "), display.isEmpty())
            << bridge.err.constData();
        EXPECT_FALSE(bridge.err.contains("XDG_RUNTIME_DIR")) << bridge.err.constData();
    }
    // The layout file type was registered for the user.
    EXPECT_TRUE(
        QFile::exists(config.path() + "/data/mime/packages/application-x-pallorwind-layout.xml"));
}

TEST(Program, ADisplayThatDoesNotAnswerIsSaidInOneLineAndTheBridgeRunsHeadless) {
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    Program bridge({}, config.path(), ":4097", /*platform: Qt's own*/ {}); // no X server there
    ASSERT_TRUE(bridge.WaitForError("listening on TCP port ")) << bridge.err.constData();
    EXPECT_EQ(bridge.err.count("pallorwind: cannot reach the X display \":4097\"; running "
                               "headless\n"),
              1)
        << bridge.err.constData();
    test::Signal(bridge.process, SIGTERM);
    EXPECT_TRUE(bridge.ExitsWith(0, 5s)) << bridge.err.constData();
}

} // namespace
} // namespace pallorwind::win
