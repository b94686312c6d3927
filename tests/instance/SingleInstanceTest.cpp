// One instance per user: the first start listens, later ones hand over.
#include "platform/app/SingleInstance.h"
#include "platform/app/RuntimeDir.h"
#include "tests/support/EventLoop.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <future>

namespace pallorwind::platform {
namespace {

using Result = SingleInstance::Result;
using namespace std::chrono_literals;

constexpr const char* kKey = "pwtest-instance";
// Set in the second process that the first test starts: the folder, then the
// message to hand over.
constexpr const char* kChildFolder = "PWTEST_INSTANCE_FOLDER";
constexpr const char* kChildMessage = "PWTEST_INSTANCE_MESSAGE";

// A later start on a thread of its own while this one runs the event loop.
Result StartLater(const QString& folder, const QString& message,
                  std::chrono::milliseconds timeout = 5s) {
    auto result = std::async(std::launch::async, [&] {
        SingleInstance later(kKey, folder);
        return later.Start(message, nullptr, timeout);
    });
    test::PumpUntil([&] { return result.wait_for(0s) == std::future_status::ready; }, 20s);
    return result.get();
}

TEST(SingleInstanceTest, ALaterStartHandsItsMessageToTheFirstAndLearnsItArrived) {
    QTemporaryDir dir;
    QStringList got;
    auto first = std::make_unique<SingleInstance>(kKey, dir.path());
    ASSERT_EQ(first->Start({}, [&](const QString& m) { got << m; }), Result::First);

    EXPECT_EQ(StartLater(dir.path(), "/home/ana/Layouts/Drums \u00e9.plw"), Result::Delivered);
    EXPECT_EQ(StartLater(dir.path(), ""), Result::Delivered);
    EXPECT_EQ(StartLater(dir.path(), QString(SingleInstance::kMaxMessage + 1, 'x')),
              Result::Failed);

    // A real second process.
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChildFolder, dir.path());
    env.insert(kChildMessage, "from another process");
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=SingleInstanceChild.HandsOver"});
    ASSERT_TRUE(test::PumpUntil([&] { return child.state() == QProcess::NotRunning; }, 20s));
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardOutput().toStdString();

    EXPECT_EQ(got, (QStringList{"/home/ana/Layouts/Drums \u00e9.plw", "", "from another process"}));

    // Once the first has gone, the next start is the first.
    first.reset();
    SingleInstance next(kKey, dir.path());
    EXPECT_EQ(next.Start({}, nullptr), Result::First);
}

TEST(SingleInstanceTest, AStaleSocketDoesNotBlockAndASilentFirstIsNotRobbed) {
    QTemporaryDir dir;
    SingleInstance probe(kKey, dir.path());
    // What an instance that crashed leaves: a socket file nobody listens on.
    const QByteArray path = QFile::encodeName(probe.ServerName());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    ASSERT_TRUE(QFile::exists(probe.ServerName()));
    {
        QStringList got;
        SingleInstance first(kKey, dir.path());
        ASSERT_EQ(first.Start({}, [&](const QString& m) { got << m; }), Result::First);
        EXPECT_EQ(StartLater(dir.path(), "a.plw"), Result::Delivered);
        EXPECT_EQ(got, QStringList{"a.plw"});
    }

    // A first instance that listens but does not answer keeps its socket.
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(probe.ServerName()));
    EXPECT_EQ(StartLater(dir.path(), "b.plw", 300ms), Result::Failed);
    EXPECT_TRUE(silent.isListening());
    EXPECT_TRUE(QFile::exists(probe.ServerName()));

    // Nowhere to make a socket: nobody can be found, which is not a failed
    // hand-over.
    SingleInstance nowhere(kKey, dir.path() + "/no/such/folder");
    EXPECT_EQ(nowhere.Start({}, {}, 300ms), Result::Unavailable);
}

TEST(RuntimeDirTest, APrivateFolderIsMadeOrTakenOnlyWhereNobodyElseCanGetIn) {
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString();
    auto mode = [](const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    // Made for this user alone, and taken as it is the next time.
    const std::string runtime = base + "/runtime";
    EXPECT_EQ(PrivateFolder(runtime).path, runtime);
    EXPECT_EQ(mode(runtime), 0700u);
    EXPECT_EQ(PrivateFolder(runtime).path, runtime);

    // Not a folder that others may enter, a link (even to a private folder),
    // a file, or someone else's folder; each refusal says why.
    auto refused = [](const std::string& path, const std::string& why) {
        const RuntimeDir got = PrivateFolder(path);
        EXPECT_EQ(got.path, "") << path;
        EXPECT_NE(got.problem.find(path + why), std::string::npos) << got.problem;
    };
    ASSERT_EQ(::mkdir((base + "/open").c_str(), 0700), 0);
    ASSERT_EQ(::chmod((base + "/open").c_str(), 0750), 0);
    refused(base + "/open", " is open to other users");
    EXPECT_EQ(mode(base + "/open"), 0750u); // left as it was
    ASSERT_EQ(::symlink(runtime.c_str(), (base + "/link").c_str()), 0);
    refused(base + "/link", " is not a folder");
    ASSERT_TRUE(QFile(QString::fromStdString(base + "/file")).open(QIODevice::WriteOnly));
    refused(base + "/file", " is not a folder");
    refused(base + "/no/such/parent", "");
    if (::geteuid() == 0) {
        ASSERT_EQ(::mkdir((base + "/theirs").c_str(), 0700), 0);
        ASSERT_EQ(::chown((base + "/theirs").c_str(), 65534, 65534), 0);
        refused(base + "/theirs", " belongs to another user");
    }
}

// The second process of the first test; does nothing when run on its own.
TEST(SingleInstanceChild, HandsOver) {
    const char* folder = std::getenv(kChildFolder);
    if (!folder)
        GTEST_SKIP() << "runs as the second process of another test";
    SingleInstance later(kKey, QString::fromUtf8(folder));
    EXPECT_EQ(later.Start(QString::fromUtf8(std::getenv(kChildMessage)), nullptr),
              Result::Delivered);
}

} // namespace
} // namespace pallorwind::platform
