// The settings layer on real files: two programs' stores kept apart, and
// damaged files read as empty and left as they are.
#include "platform/settings/QtSettings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace pallorwind::platform {
namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    }
    QString FilePath(const QString& application) const {
        return m_dir.path() + "/Maker/" + application + ".conf";
    }
    void WriteFile(const QString& path, const QByteArray& content) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QByteArray ReadFile(const QString& path) const {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_dir;
};

TEST_F(SettingsTest, EachApplicationKeepsItsOwnValuesAndAHandWrittenListReadsAsText) {
    QtSettings first("Maker", "First");
    QtSettings second("Maker", "Second");
    EXPECT_EQ(first.Value("port"), std::nullopt);
    EXPECT_FALSE(QFile::exists(FilePath("First"))); // reading creates nothing

    EXPECT_EQ(first.SetValue("port", "5004"), SettingsWrite::Stored);
    EXPECT_EQ(second.SetValue("port", "6000"), SettingsWrite::Stored);
    EXPECT_EQ(first.Value("port"), "5004");
    EXPECT_EQ(second.Value("port"), "6000");
    EXPECT_EQ(first.Where(), FilePath("First").toStdString());
    // The organisation's own file is not mixed in.
    WriteFile(m_dir.path() + "/Maker.conf", "[General]\nname=Shared\n");
    EXPECT_EQ(first.Value("name"), std::nullopt);

    // A text written as text comes back whole; one typed by hand with
    // commas and no quotes is a list to QSettings and reads joined.
    EXPECT_EQ(first.SetValue("name", "Flügel, Mk II"), SettingsWrite::Stored);
    EXPECT_EQ(QtSettings("Maker", "First").Value("name"), "Flügel, Mk II");
    WriteFile(FilePath("Second"), "[General]\nname=Left, Right\n");
    EXPECT_EQ(second.Value("name"), "Left,Right");
}

TEST_F(SettingsTest, ADamagedFileReadsAsEmptyAndIsNeverWritten) {
    const std::vector<std::pair<const char*, QByteArray>> damages = {
        {"zeros after a crash", QByteArray("[General]\nport=5004\n") + QByteArray(64, '\0')},
        {"not UTF-8", "[General]\nport=5004\nname=St\xe9ge\n"},
        {"a line without a value", "[General]\nport=5004\nname Stage\n"},
        {"a cut-off section", "[General\nport=5004\n"},
    };
    int age = 0;
    for (const auto& [what, content] : damages) {
        SCOPED_TRACE(what);
        WriteFile(FilePath("Damaged"), content);
        // Each damage is a file changed at another time, as files changed
        // by hand are: QSettings takes a file of the same size and time as
        // the one it read before for that one (two of these are the same size).
        QFile file(FilePath("Damaged"));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-60 * ++age),
                                     QFileDevice::FileModificationTime));
        file.close();
        QtSettings settings("Maker", "Damaged");
        EXPECT_EQ(settings.Value("port"), std::nullopt);
        EXPECT_EQ(settings.Value("name"), std::nullopt);
        EXPECT_EQ(settings.SetValue("port", "6000"), SettingsWrite::Damaged);
        EXPECT_EQ(ReadFile(FilePath("Damaged")), content);
    }

    // A folder where the file should be cannot be read: the same.
    ASSERT_TRUE(QFile::remove(FilePath("Damaged")));
    ASSERT_TRUE(QDir().mkpath(FilePath("Damaged")));
    QtSettings settings("Maker", "Damaged");
    EXPECT_EQ(settings.Value("port"), std::nullopt);
    EXPECT_EQ(settings.SetValue("port", "6000"), SettingsWrite::Damaged);
    EXPECT_TRUE(QFileInfo(FilePath("Damaged")).isDir());
}

TEST_F(SettingsTest, AFileThatCannotBeWrittenIsAFailedWrite) {
    // The organisation's folder cannot be made: a plain file has its name.
    WriteFile(m_dir.path() + "/Maker", "");
    QtSettings settings("Maker", "Blocked");
    EXPECT_EQ(settings.SetValue("port", "6000"), SettingsWrite::Failed);
    EXPECT_EQ(settings.Value("port"), std::nullopt);
}

} // namespace
} // namespace pallorwind::platform
