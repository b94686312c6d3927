// The real pallorwind binary as a user starts it: a private home, an app on
// loopback, and a signal to end it.
#include "protocol/LayoutTransfer.h"
#include "tests/support/LoopbackApp.h"
#include "tests/support/Signal.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include <pwd.h>
#include <unistd.h>

namespace pallorwind::osx {
namespace {

using namespace std::chrono_literals;

QProcessEnvironment PrivateHome(const QString& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", home);
    env.insert("XDG_CONFIG_HOME", home + "/config");
    // Its own runtime folder: the running instance's socket lives there.
    QDir().mkpath(home + "/run");
    QFile::setPermissions(home + "/run",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert("XDG_RUNTIME_DIR", home + "/run");
    env.insert("AVAHI_COMPAT_NOWARN", "1");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    return env;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

TEST(PallorwindProgram, AnswersItsArgumentsWithoutRunning) {
    QProcess process;
    process.start(PALLORWIND_BINARY, {"--version"});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(process.readAllStandardOutput().trimmed(), "pallorwind " PALLORWIND_VERSION);

    process.start(PALLORWIND_BINARY, {"--no-such-option"});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 2);

    process.start(PALLORWIND_BINARY, {"/no/such/layout.plw"});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 1);
}

TEST(PallorwindProgram, HeadlessSendsLayoutsItWasGivenOrHandedSavesOneAndEndsOnSignal) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    // A port free now, stored as the port to listen on.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    ASSERT_TRUE(QDir().mkpath(home.path() + "/config/Pallorwind"));
    ASSERT_TRUE(WriteFile(home.path() + "/config/Pallorwind/Pallorwind.conf",
                          "[General]\nport=" + QByteArray::number(port) + "\nprefs=1\n"));
    const QString layout = home.path() + "/Set.plw";
    ASSERT_TRUE(WriteFile(layout, "PADS"));

    QProcess process;
    process.setProcessEnvironment(PrivateHome(home.path()));
    process.start(PALLORWIND_BINARY, {"--send-layout", layout});
    ASSERT_TRUE(process.waitForStarted());

    std::unique_ptr<test::LoopbackApp> app;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!(app && app->Connected()) && std::chrono::steady_clock::now() < end) {
        process.waitForFinished(50);
        app = std::make_unique<test::LoopbackApp>(port);
    }
    ASSERT_TRUE(app->Connected());
    const std::string expected =
        protocol::LayoutMarker() + protocol::EncodeLayoutBlock("PADS", "Set.plw");
    EXPECT_EQ(app->ReadExactly(expected.size()), expected);

    // A second start hands its file to the running instance and ends; the
    // running one sends it.
    const QString second = home.path() + "/Drums.plw";
    ASSERT_TRUE(WriteFile(second, "DRUMS"));
    QProcess handOff;
    handOff.setProcessEnvironment(PrivateHome(home.path()));
    handOff.start(PALLORWIND_BINARY, {second});
    ASSERT_TRUE(handOff.waitForFinished(10000));
    EXPECT_EQ(handOff.exitCode(), 0);
    const std::string handed =
        protocol::LayoutMarker() + protocol::EncodeLayoutBlock("DRUMS", "Drums.plw");
    EXPECT_EQ(app->ReadExactly(handed.size()), handed);

    const std::string back = protocol::LayoutMarker() + protocol::EncodeLayoutBlock("KEYS", "Keys");
    ASSERT_TRUE(app->Send({back.begin(), back.end()}));
    const QString saved = home.path() + "/Desktop/Keys.plw";
    for (int i = 0; i < 200 && !QFile::exists(saved); ++i)
        process.waitForFinished(50);
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "KEYS");

    test::Signal(process, SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
}

TEST(PallorwindProgram, ADamagedPreferencesFileGivesTheDefaultsAndIsLeftAsItWas) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    // A port free now, in a file that a crash left with zeros at its end.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const QByteArray stored = "port=" + QByteArray::number(probe.serverPort());
    probe.close();
    const QString path = home.path() + "/config/Pallorwind/Pallorwind.conf";
    const QByteArray damaged = "[General]\n" + stored + "\nprefs=1\n" + QByteArray(32, '\0');
    ASSERT_TRUE(QDir().mkpath(home.path() + "/config/Pallorwind"));
    ASSERT_TRUE(WriteFile(path, damaged));

    QProcess process;
    process.setProcessEnvironment(PrivateHome(home.path()));
    process.start(PALLORWIND_BINARY, {"--headless"});
    QByteArray said;
    for (int i = 0; i < 200 && !said.contains("listening on TCP port "); ++i) {
        process.waitForReadyRead(50);
        said += process.readAllStandardError();
    }
    // The default port (any free one), not the stored one; the defaults are
    // not written over the file.
    EXPECT_TRUE(said.contains("pallorwind: listening on TCP port ")) << said.toStdString();
    EXPECT_FALSE(said.contains("listening on TCP port " + stored.mid(5) + "\n"))
        << said.toStdString();
    EXPECT_TRUE(said.contains("pallorwind: could not store the preference \"prefs\"\n"))
        << said.toStdString();
    ::kill(pid_t(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 0);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), damaged);
}

TEST(PallorwindProgram, ADisplayThatDoesNotAnswerIsSaidInOneLineAndItRunsHeadless) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QProcessEnvironment env = PrivateHome(home.path());
    env.insert("DISPLAY", ":4097"); // no X server there
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(PALLORWIND_BINARY, {});
    ASSERT_TRUE(process.waitForStarted());
    QByteArray err;
    const QByteArray said = "pallorwind: cannot reach the X display \":4097\"; running headless\n";
    for (int i = 0; i < 200 && !err.contains(said); ++i) {
        process.waitForReadyRead(50);
        err += process.readAllStandardError();
    }
    // It runs on, headless, until the signal.
    EXPECT_FALSE(process.waitForFinished(1500)) << err.constData();
    err += process.readAllStandardError();
    EXPECT_EQ(err.count(said), 1) << err.constData();
    test::Signal(process, SIGTERM);
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitCode(), 0);
}

TEST(PallorwindProgram, SaysItsPortAndNeverStartsASecondBridgeBesideASilentOne) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QProcessEnvironment env = PrivateHome(home.path());

    // Alone: it says where apps reach it.
    QProcess first;
    first.setProcessEnvironment(env);
    first.start(PALLORWIND_BINARY, {"--headless"});
    QByteArray said;
    for (int i = 0; i < 200 && !said.contains("listening on TCP port "); ++i) {
        first.waitForReadyRead(50);
        said += first.readAllStandardError();
    }
    EXPECT_TRUE(said.contains("pallorwind: listening on TCP port ")) << said.toStdString();
    test::Signal(first, SIGTERM);
    ASSERT_TRUE(first.waitForFinished(10000));

    // A running one that does not answer: the second start says so and ends
    // without ports or a service of its own.
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(home.path() + "/run/pallorwind.socket"));
    QProcess second;
    second.setProcessEnvironment(env);
    second.start(PALLORWIND_BINARY, {"--headless"});
    ASSERT_TRUE(second.waitForStarted());
    for (int i = 0; i < 400 && second.state() != QProcess::NotRunning; ++i) {
        QCoreApplication::processEvents(); // the silent one accepts and says nothing
        second.waitForFinished(25);
    }
    ASSERT_EQ(second.state(), QProcess::NotRunning);
    EXPECT_NE(second.exitCode(), 0);
    const QByteArray secondSaid = second.readAllStandardError();
    EXPECT_TRUE(secondSaid.contains("not starting a second one")) << secondSaid.toStdString();
    EXPECT_FALSE(secondSaid.contains("listening on TCP port")) << secondSaid.toStdString();
}

TEST(PallorwindProgram, WithoutXdgRuntimeDirAPrivateFolderServesQuietlyOrOneLineSaysWhyNot) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    // A root shell, cron or an ssh session: no XDG_RUNTIME_DIR. The folder
    // that stands in is made under the temporary folder.
    QProcessEnvironment env = PrivateHome(home.path());
    env.remove("XDG_RUNTIME_DIR");
    env.insert("TMPDIR", home.path());
    const passwd* user = ::getpwuid(::geteuid());
    ASSERT_NE(user, nullptr);
    const QString folder = home.path() + "/runtime-" + user->pw_name;

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(PALLORWIND_BINARY, {"--headless"});
    ASSERT_TRUE(first.waitForStarted());
    // Once the first listens there, a second start finds it.
    for (int i = 0; i < 200 && !QFile::exists(folder + "/pallorwind.socket"); ++i)
        first.waitForFinished(50);
    QProcess second;
    second.setProcessEnvironment(env);
    second.start(PALLORWIND_BINARY, {"--headless"});
    ASSERT_TRUE(second.waitForFinished(10000));
    const QByteArray said = second.readAllStandardError();
    EXPECT_TRUE(said.contains("pallorwind: already running\n")) << said.constData();
    EXPECT_EQ(QFileInfo(folder).permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner | QFileDevice::ReadUser |
                                                   QFileDevice::WriteUser | QFileDevice::ExeUser);
    test::Signal(first, SIGTERM);
    ASSERT_TRUE(first.waitForFinished(10000));
    const QByteArray quiet = first.readAllStandardError() + said;
    EXPECT_FALSE(quiet.contains("XDG_RUNTIME_DIR")) << quiet.constData();

    // A folder of that name that others may enter is not used: one line
    // says so, and the bridge runs on its own.
    ASSERT_TRUE(QFile::setPermissions(folder, QFileInfo(folder).permissions() |
                                                  QFileDevice::ReadOther | QFileDevice::ExeOther));
    QProcess alone;
    alone.setProcessEnvironment(env);
    alone.start(PALLORWIND_BINARY, {"--headless"});
    QByteArray err;
    for (int i = 0; i < 200 && !err.contains("running on its own"); ++i) {
        alone.waitForReadyRead(50);
        err += alone.readAllStandardError();
    }
    test::Signal(alone, SIGTERM);
    ASSERT_TRUE(alone.waitForFinished(10000));
    err += alone.readAllStandardError();
    EXPECT_TRUE(err.contains("pallorwind: no private folder for the single-instance socket "
                             "(XDG_RUNTIME_DIR is not set, and " +
                             QFile::encodeName(folder) + " is open to other users"))
        << err.constData();
    EXPECT_EQ(err.count("XDG_RUNTIME_DIR"), 1) << err.constData();
}

} // namespace
} // namespace pallorwind::osx
