// The XDG desktop ties, written under a temporary home.
#include "platform/desktop/XdgDesktop.h"
#include "res/Resources.h"
#include "tests/support/EventLoop.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace pallorwind::platform {
namespace {

QByteArray Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ino_t Inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

class XdgDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_home.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(Data()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Config()));
    }
    QString Data() const { return m_home.filePath("data home"); }
    QString Config() const { return m_home.filePath("config home"); }

    QTemporaryDir m_home;
    XdgDesktop m_desktop;
};

TEST_F(XdgDesktopTest, FileTypeWritesAMimePackageAndItsIconOnlyWhenChanged) {
    const FileType type{"application/x-pallorwind-layout", "*.plw", "Pallorwind File & co",
                        res::kLayoutFileIcon};
    m_desktop.RegisterFileType(type);
    const QString package = Data() + "/mime/packages/application-x-pallorwind-layout.xml";
    const QString icon =
        Data() + "/icons/hicolor/scalable/mimetypes/application-x-pallorwind-layout.svg";
    const QByteArray xml = Read(package);
    EXPECT_TRUE(xml.contains("<mime-type type=\"application/x-pallorwind-layout\">")) << xml.data();
    EXPECT_TRUE(xml.contains("<glob pattern=\"*.plw\"/>"));
    EXPECT_TRUE(xml.contains("<comment>Pallorwind File &amp; co</comment>"));
    EXPECT_TRUE(xml.contains("<icon name=\"application-x-pallorwind-layout\"/>"));
    EXPECT_EQ(Read(icon), Read(res::kLayoutFileIcon));
    EXPECT_FALSE(Read(icon).isEmpty());

    // The MIME database is rebuilt (where the tool is installed) and knows the glob.
    if (!QStandardPaths::findExecutable("update-mime-database").isEmpty()) {
        EXPECT_TRUE(test::PumpUntil([&] {
            return Read(Data() + "/mime/globs2").contains("application/x-pallorwind-layout:*.plw");
        }));
    }

    // The same registration again leaves the files alone; a new comment
    // rewrites the package.
    const ino_t packageInode = Inode(package);
    const ino_t iconInode = Inode(icon);
    m_desktop.RegisterFileType(type);
    EXPECT_EQ(Inode(package), packageInode);
    EXPECT_EQ(Inode(icon), iconInode);
    FileType renamed = type;
    renamed.comment = "Layout";
    m_desktop.RegisterFileType(renamed);
    EXPECT_TRUE(Read(package).contains("<comment>Layout</comment>"));
    EXPECT_EQ(Inode(icon), iconInode);
}

TEST_F(XdgDesktopTest, AnInstalledPackageIsTheOneWrittenAtStartAndGetsIntoTheDatabase) {
    // What `cmake --install build --prefix ~/.local` leaves in a data folder
    // whose MIME database was built before.
    const QString mime = Data() + "/mime";
    const QString package = mime + "/packages/application-x-pallorwind-layout.xml";
    const QString icons = Data() + "/icons/hicolor/scalable/mimetypes";
    ASSERT_TRUE(QDir().mkpath(mime + "/packages"));
    ASSERT_TRUE(QDir().mkpath(icons));
    ASSERT_TRUE(
        QFile::copy(PALLORWIND_SOURCE_DIR "/res/application-x-pallorwind-layout.xml", package));
    ASSERT_TRUE(QFile::copy(PALLORWIND_SOURCE_DIR "/res/plw.svg",
                            icons + "/application-x-pallorwind-layout.svg"));
    QFile cache(mime + "/mime.cache");
    ASSERT_TRUE(cache.open(QIODevice::WriteOnly));
    cache.close();
    const ino_t installed = Inode(package);
    const ino_t icon = Inode(icons + "/application-x-pallorwind-layout.svg");

    // pallorwind-win's start declares the type once: it keeps that package.
    m_desktop.RegisterFileType(
        {res::kLayoutMimeType, res::kLayoutGlob, res::kLayoutComment, res::kLayoutFileIcon});
    EXPECT_EQ(QDir(mime + "/packages").entryList(QDir::Files),
              QStringList{"application-x-pallorwind-layout.xml"});
    EXPECT_EQ(Inode(package), installed);
    EXPECT_EQ(Inode(icons + "/application-x-pallorwind-layout.svg"), icon);
    // The database did not know the type yet, so it was rebuilt.
    if (!QStandardPaths::findExecutable("update-mime-database").isEmpty()) {
        EXPECT_TRUE(test::PumpUntil([&] {
            return Read(mime + "/globs2").contains("application/x-pallorwind-layout:*.plw");
        }));
    }
}

TEST_F(XdgDesktopTest, StartAtLoginEntryQuotesThePathAndGoesWhenOff) {
    const LoginItem item{"pallorwind-win", "Pallorwind WIN", "/opt/My Apps/pallorwind win"};
    const QString entry = Config() + "/autostart/pallorwind-win.desktop";
    m_desktop.SetStartAtLogin(item, true);
    const QByteArray text = Read(entry);
    EXPECT_TRUE(text.startsWith("[Desktop Entry]\n")) << text.data();
    EXPECT_TRUE(text.contains("\nType=Application\n"));
    EXPECT_TRUE(text.contains("\nName=Pallorwind WIN\n"));
    EXPECT_TRUE(text.contains("\nExec=\"/opt/My Apps/pallorwind win\"\n"));
    const QString validate = QStandardPaths::findExecutable("desktop-file-validate");
    if (!validate.isEmpty()) {
        QProcess check;
        check.start(validate, {entry});
        ASSERT_TRUE(check.waitForFinished());
        EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString();
    }

    m_desktop.SetStartAtLogin(item, false);
    EXPECT_FALSE(QFileInfo::exists(entry));
    m_desktop.SetStartAtLogin(item, false); // nothing to remove: no harm
    EXPECT_FALSE(QFileInfo::exists(entry));

    // Plain paths stay bare; quotes, dollars, backslashes and percent signs
    // are escaped as the Desktop Entry Specification says.
    EXPECT_EQ(DesktopExecArgument("/usr/bin/pallorwind-win"), "/usr/bin/pallorwind-win");
    EXPECT_EQ(DesktopExecArgument("/a b/\"x\"$y"), "\"/a b/\\\\\"x\\\\\"\\\\$y\"");
    EXPECT_EQ(DesktopExecArgument("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(DesktopExecArgument("/100%"), "/100%%");
}

} // namespace
} // namespace pallorwind::platform

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    pallorwind::res::InitResources();
    return RUN_ALL_TESTS();
}
