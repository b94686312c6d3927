// The settings store on a real QSettings file in a private folder.
#include "win/app/SettingsStore.h"
#include "platform/settings/QtSettings.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MemorySettingsStore.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pallorwind::win {
namespace {

const std::vector<std::string> kAllNames = {kSettingName,
                                            kSettingPort,
                                            kSettingAutoName,
                                            kSettingAutoPort,
                                            kSettingAutoStart,
                                            kSettingUpdateURL,
                                            kSettingInMidiPort,
                                            kSettingOutMidiPort,
                                            kSettingDisplayBonjourMsg,
                                            kSettingAutoUpdateAtStartup};

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    }
    QString FilePath() const { return m_dir.path() + "/Pallorwind/PallorwindWIN.conf"; }
    void WriteFile(const QByteArray& content) {
        ASSERT_TRUE(QDir().mkpath(m_dir.path() + "/Pallorwind"));
        QFile file(FilePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    QByteArray ReadFile() const {
        QFile file(FilePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_dir;
    platform::QtSettings m_file{kSettingsOrganisation, kSettingsApplication};
    SettingsStore m_store{m_file};
};

TEST_F(SettingsStoreTest, FirstRunReadsDefaultsAndCreatesNothing) {
    for (const auto& name : kAllNames)
        EXPECT_EQ(m_store.ReadSetting(name), "") << name;
    const StartupSettings s = ReadStartupSettings(m_store, "studio-pc");
    EXPECT_EQ(s.name, "studio-pc");
    EXPECT_TRUE(s.autoName);
    EXPECT_EQ(s.port, "0");
    EXPECT_FALSE(s.autoPort);
    EXPECT_FALSE(s.autoStart);
    EXPECT_EQ(s.inMidiPort, "");
    EXPECT_EQ(s.outMidiPort, "");
    EXPECT_TRUE(s.displayBonjourMsg);
    EXPECT_FALSE(QFile::exists(FilePath()));
}

TEST_F(SettingsStoreTest, EveryValueRoundTripsThroughTheFile) {
    // Texts that an INI file must quote or escape, and non-ASCII names.
    const std::vector<std::string> values = {
        "Stage Left",    "5004",          "1", "0", "1", "http://example.invalid/u/",
        "Flügel, Mk II", " a=b; #c \\d ", "0", "2"};
    for (std::size_t i = 0; i < kAllNames.size(); ++i)
        m_store.WriteSetting(kAllNames[i], values[i]);
    ASSERT_TRUE(QFile::exists(FilePath()));

    platform::QtSettings again(kSettingsOrganisation, kSettingsApplication);
    SettingsStore fresh(again); // nothing is cached between calls
    for (std::size_t i = 0; i < kAllNames.size(); ++i)
        EXPECT_EQ(fresh.ReadSetting(kAllNames[i]), values[i]) << kAllNames[i];

    fresh.WriteSetting(kSettingPort, "6000"); // an overwrite keeps the others
    EXPECT_EQ(m_store.ReadSetting(kSettingPort), "6000");
    EXPECT_EQ(m_store.ReadSetting(kSettingName), "Stage Left");
}

TEST_F(SettingsStoreTest, OnlyTheUsersOwnValuesCount) {
    // An organisation-wide file beside the bridge's own is not read.
    ASSERT_TRUE(QDir().mkpath(m_dir.path() + "/Pallorwind"));
    QFile shared(m_dir.path() + "/Pallorwind.conf");
    ASSERT_TRUE(shared.open(QIODevice::WriteOnly));
    shared.write("[General]\nPort=4444\n");
    shared.close();
    EXPECT_EQ(m_store.ReadSetting(kSettingPort), "");
}

TEST_F(SettingsStoreTest, ValuesOfEightyBytesOrMoreReadAsEmptyExceptDeviceNames) {
    m_store.WriteSetting(kSettingName, std::string(79, 'n'));
    m_store.WriteSetting(kSettingUpdateURL, std::string(80, 'u'));
    // 40 two-byte characters: 40 characters but 80 bytes.
    std::string wide;
    for (int i = 0; i < 40; ++i)
        wide += "\xc3\xbc";
    m_store.WriteSetting(kSettingPort, wide);
    EXPECT_EQ(m_store.ReadSetting(kSettingName), std::string(79, 'n'));
    EXPECT_EQ(m_store.ReadSetting(kSettingUpdateURL), "");
    EXPECT_EQ(m_store.ReadSetting(kSettingPort), "");
    EXPECT_EQ(ReadStartupSettings(m_store, "pc").port, "0");
    // The long value is still stored as written.
    EXPECT_TRUE(ReadFile().contains(QByteArray(80, 'u')));

    // A chosen device is found again at the next start whatever its name's
    // length: long JACK and ALSA names, one with non-ASCII characters.
    const std::string in = "a2j:Scarlett 18i20 USB - Scarlett 18i20 USB MIDI 1 [Focusrite] "
                           "(capture): Scarlett 18i20 USB MIDI 1";
    const std::string out = "Grand Piano Synth \xc3\xa9"
                            "dition: " +
                            std::string(300, 'p');
    ASSERT_GE(in.size(), kMaxSettingBytes);
    m_store.WriteSetting(kSettingInMidiPort, in);
    m_store.WriteSetting(kSettingOutMidiPort, out);
    platform::QtSettings nextFile(kSettingsOrganisation, kSettingsApplication);
    SettingsStore nextStart(nextFile);
    const StartupSettings s = ReadStartupSettings(nextStart, "pc");
    EXPECT_EQ(s.inMidiPort, in);
    EXPECT_EQ(s.outMidiPort, out);
}

TEST_F(SettingsStoreTest, DamagedFileReadsAsDefaultsAndIsNotOverwritten) {
    QByteArray damaged("[General]\nName=Stage\nPort=5004\n");
    damaged.append('\0');
    damaged.append("\xff\xfe garbage \x01\x02\n");
    WriteFile(damaged);

    EXPECT_EQ(m_store.ReadSetting(kSettingName), "");
    EXPECT_EQ(m_store.ReadSetting(kSettingPort), "");
    EXPECT_EQ(ReadStartupSettings(m_store, "pc").port, "0");

    pallorwind::test::LogCapture captured;
    m_store.WriteSetting(kSettingPort, "6000");
    const std::string err = captured.Text();
    EXPECT_EQ(ReadFile(), damaged);
    EXPECT_NE(err.find("Port not stored"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST_F(SettingsStoreTest, FailedWriteIsOneLineOnStandardError) {
    // A settings folder that cannot be created: its parent is a plain file.
    QFile blocker(m_dir.path() + "/blocker");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, blocker.fileName());

    pallorwind::test::LogCapture captured;
    m_store.WriteSetting(kSettingName, "Stage");
    const std::string err = captured.Text();
    EXPECT_NE(err.find("Name not stored"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(m_store.ReadSetting(kSettingName), "");
}

TEST(StartupSettingsTest, SwitchesMeanWhatTheyMeanAtStartUp) {
    MemorySettingsStore store;
    store.values = {{kSettingName, "Stage"},      {kSettingPort, "5004"},
                    {kSettingAutoName, "0"},      {kSettingAutoPort, "1"},
                    {kSettingAutoStart, "1"},     {kSettingDisplayBonjourMsg, "0"},
                    {kSettingInMidiPort, "Keys"}, {kSettingOutMidiPort, "Synth"}};
    StartupSettings s = ReadStartupSettings(store, "pc");
    EXPECT_EQ(s.name, "Stage");
    EXPECT_FALSE(s.autoName);
    EXPECT_EQ(s.port, "0");         // "AutoPort" wins over the stored port...
    EXPECT_EQ(s.portShown, "5004"); // ...which is still shown until the service reports
    EXPECT_TRUE(s.autoPort);
    EXPECT_TRUE(s.autoStart);
    EXPECT_FALSE(s.displayBonjourMsg);
    EXPECT_EQ(s.inMidiPort, "Keys");
    EXPECT_EQ(s.outMidiPort, "Synth");

    // The name's "Auto" is on when the name is the computer's, whatever
    // "AutoName" says; only "0" hides the registration dialog; only "1" is on.
    store.values = {{kSettingName, "pc"},      {kSettingAutoName, "0"},
                    {kSettingAutoPort, "yes"}, {kSettingAutoStart, "true"},
                    {kSettingPort, "5004"},    {kSettingDisplayBonjourMsg, "false"}};
    s = ReadStartupSettings(store, "pc");
    EXPECT_TRUE(s.autoName);
    EXPECT_FALSE(s.autoPort);
    EXPECT_EQ(s.port, "5004");
    EXPECT_FALSE(s.autoStart);
    EXPECT_TRUE(s.displayBonjourMsg);
    EXPECT_EQ(store.writes, 0);
}

} // namespace
} // namespace pallorwind::win
