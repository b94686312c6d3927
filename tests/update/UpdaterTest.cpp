// The update check and install against a real update folder on loopback,
// served over HTTP and over HTTPS with a certificate authority made for the
// test run.

#include "UpdateTestSupport.h"
#include "ZipTestSupport.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FaultyFileOps.h"
#include "win/update/CAutoUpdater.h"
#include "win/update/DottedVersion.h"
#include "win/update/ExecutableVersion.h"
#include "win/update/UpdateCheck.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

using namespace pallorwind;
using namespace pallorwind::win;
using namespace updatetest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ziptest::Entry;

const std::string kExe = "pallorwind-win";
const std::string kAsked =
    "Update is available|An update of pallorwind-win is now available. Proceed with the update?";
const std::string kToldUpdated =
    "Updater|The application was updated and will be available next time you run it.";

// A good archive: the new executable, a read-me and a folder of files.
std::string GoodArchive(const std::string& tag = "new", const std::string& version = "1.0.8.0") {
    return ziptest::Build(
        {.entries = {Entry(kExe, FakeExecutable(tag, version)), Entry("readme.txt", "Read me"),
                     Entry("lib/", "", 0), Entry("lib/extra.dat", "data")}});
}

class UpdaterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_site = new ziptest::ScratchDir;
        s_certs = new ziptest::ScratchDir;
        const std::string make =
            std::string(PALLORWIND_MAKE_TEST_CA) + " " + s_certs->path().string();
        ASSERT_EQ(std::system(make.c_str()), 0);
        s_http = new UpdateServer(s_site->path());
        s_https =
            new UpdateServer(s_site->path(), *s_certs / "server.pem", *s_certs / "server.key");
    }
    static void TearDownTestSuite() {
        delete s_https;
        delete s_http;
        delete s_certs;
        delete s_site;
    }

    // A case's folder on the site: update.txt (none when nullopt) and the
    // archive (none when nullopt).
    static void Publish(const std::string& folder, std::optional<std::string> version,
                        std::optional<std::string> archive = std::nullopt) {
        const fs::path dir = *s_site / folder;
        fs::create_directories(dir);
        if (version)
            ziptest::WriteFile(dir / "update.txt", *version);
        if (archive)
            ziptest::WriteFile(dir / "pallorwind_win_update.zip", *archive);
    }

    struct Options {
        bool trustTestCa = true;
        UpdateFileOps* files = nullptr;
        std::function<void(UpdateCheck&)> onStart;
        std::uint64_t archiveLimit = kArchiveLimit;
    };

    // One check through UpdateCheck, on its worker thread; waits for its end
    // on the event loop.
    static UpdateOutcome Check(const std::string& baseUrl, Installation& inst, RecordingUi& ui,
                               const Options& options) {
        UpdaterEnvironment env;
        env.executablePath = inst.exe.string();
        env.tempRoot = inst.temp.string();
        env.requestLimits = {5000, 10000, 1000};
        env.downloadLimits = {5000, 20000, 1000};
        env.fileOps = options.files;
        env.archiveLimit = options.archiveLimit;
        platform::HttpClientOptions http;
        http.userAgent = kUpdateUserAgent;
        if (options.trustTestCa)
            http.caFile = (*s_certs / "ca.pem").string();
        UpdateCheck check(ui, env, http);
        std::optional<UpdateOutcome> outcome;
        EXPECT_TRUE(check.Start(baseUrl, [&](UpdateOutcome o) { outcome = std::move(o); }));
        if (options.onStart)
            options.onStart(check);
        EXPECT_TRUE(test::PumpUntil([&] { return outcome.has_value(); }, std::chrono::seconds(60)));
        EXPECT_FALSE(check.Running());
        return outcome.value_or(UpdateOutcome{});
    }
    static UpdateOutcome Check(const std::string& baseUrl, Installation& inst, RecordingUi& ui) {
        return Check(baseUrl, inst, ui, Options{});
    }

    static inline ziptest::ScratchDir* s_site = nullptr;
    static inline ziptest::ScratchDir* s_certs = nullptr;
    static inline UpdateServer* s_http = nullptr;
    static inline UpdateServer* s_https = nullptr;
};

// The running executable is the old one, untouched, with no backup, and
// the temporary folder holds nothing.
void ExpectUntouched(const Installation& inst) {
    EXPECT_EQ(RunExecutable(inst.exe), "old");
    EXPECT_THAT(inst.Files(), ElementsAre(kExe));
    EXPECT_TRUE(inst.TempEmpty());
}

TEST(UpdateVersionTest, ComparesAndReadsVersionsAsTheCheckDoes) {
    EXPECT_EQ(CompareDottedVersions("1.0.8", "1.0.7.0"), 1);
    EXPECT_EQ(CompareDottedVersions("1.0.7", "1.0.7.0"), 0);
    EXPECT_EQ(CompareDottedVersions("1.0.10", "1.0.9.0"), 1); // numbers, not text
    EXPECT_EQ(CompareDottedVersions("01.00.08", "1.0.7.0"), 1);
    EXPECT_EQ(CompareDottedVersions("1..8", "1.8"), 0);
    EXPECT_EQ(CompareDottedVersions("1.0.6", "1.0.7.0"), -1);
    EXPECT_EQ(CompareDottedVersions("2.0.0.0", "2.0"), 0);
    EXPECT_EQ(CompareDottedVersions("1.0.8\n", "1.0.7.0"), -21);
    EXPECT_EQ(CompareDottedVersions("1.0.8.0.1", "1.0.7.0"), -21);
    EXPECT_EQ(CompareDottedVersions("", "1.0.7.0"), -21);
    EXPECT_EQ(CompareDottedVersions("1.0.8", "1.x"), -22);
    EXPECT_EQ(CompareDottedVersions("2147483647", "2147483646"), 1);
    EXPECT_EQ(CompareDottedVersions("2147483648", "1.0"), -21); // too large for a field

    ziptest::ScratchDir dir;
    const auto versionOf = [&](const std::string& content) {
        ziptest::WriteFile(dir / "exe", content);
        return ReadExecutableVersion((dir / "exe").string());
    };
    EXPECT_EQ(versionOf(FakeExecutable("x", "1.0.7.0")), "1.0.7.0");
    EXPECT_EQ(versionOf(FakeExecutable("x", "2.0.0.0")), "2.0");
    EXPECT_EQ(versionOf(FakeExecutable("x", "0.0.0.0")), "");
    EXPECT_EQ(versionOf(FakeExecutable("x", "")), "");
    // The bare marker (as in the reading code itself) is passed over, and a
    // record that straddles two reads of 64 KiB is found.
    std::string bare = std::string(kVersionRecordMarker) + '\0';
    bare.resize(65536 - 30, 'x');
    EXPECT_EQ(versionOf(bare + kVersionRecordMarker + "3.1.4.1" + '\0'), "3.1.4.1");
    bare.resize(65536 - 10, 'x');
    EXPECT_EQ(versionOf(bare + kVersionRecordMarker + "3.1.4.1" + '\0'), "3.1.4.1");
    EXPECT_EQ(ReadExecutableVersion((dir / "missing").string()), "");

    // The program carries the project's version.
    EXPECT_EQ(EmbeddedVersion(), PALLORWIND_PROJECT_VERSION);
    auto fields = ParseDottedVersion(PALLORWIND_PROJECT_VERSION);
    ASSERT_TRUE(fields);
    EXPECT_EQ(ReadExecutableVersion(PALLORWIND_WIN), FormatFileVersion(*fields));
}

// Every result before the install, and what the user is asked.
TEST_F(UpdaterTest, CheckGivesTheResultOfEachServerAnswer) {
    Publish("newer", "1.0.8", GoodArchive());
    Publish("equal", "1.0.7", GoodArchive());
    Publish("older", "1.0.6", GoodArchive());
    Publish("numeric", "1.0.10", GoodArchive());
    Publish("lineend", "1.0.8\n", GoodArchive());
    Publish("html", "<html><body>Moved</body></html>", GoodArchive());
    Publish("empty", "", GoodArchive());
    Publish("noarchive", "1.0.8");
    Publish("missing", std::nullopt, GoodArchive());

    struct Case {
        std::string url;
        std::string exeVersion;
        UpdateResult result;
        bool asked;
    };
    const std::vector<Case> cases = {
        {s_http->Url("files", "newer"), "1.0.7.0", NotInstalled, true}, // answered No
        {s_http->Url("files", "equal"), "1.0.7.0", NoNewerVersion, false},
        {s_http->Url("files", "older"), "1.0.7.0", NoNewerVersion, false},
        {s_http->Url("files", "numeric"), "1.0.9.0", NotInstalled, true},
        {s_http->Url("files", "lineend"), "1.0.7.0", NoNewerVersion, false},
        {s_http->Url("files", "html"), "1.0.7.0", NoNewerVersion, false},
        {s_http->Url("huge", "x"), "1.0.7.0", NoNewerVersion, false}, // read up to 4096 bytes
        {s_http->Url("files", "empty"), "1.0.7.0", VersionFileEmpty, false},
        {s_http->Url("files", "newer"), "", NoLocalVersion, false},
        {s_http->Url("files", "missing"), "1.0.7.0", RequestFailed, false},   // 404
        {s_http->Url("status500", "newer"), "1.0.7.0", RequestFailed, false}, // 500
        {s_http->Url("files", "noarchive"), "1.0.7.0", RequestFailed, false}, // archive 404
        {s_http->Url("stallhead", "newer"), "1.0.7.0", RequestFailed, false}, // time-out
        {s_http->Url("stall", "newer"), "1.0.7.0", VersionFileEmpty, false},  // body stalls
        {"http://127.0.0.1:1/files/", "1.0.7.0", RequestFailed, false},       // refused
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url + " against " + c.exeVersion);
        Installation inst(c.exeVersion);
        RecordingUi ui;
        ui.answer = false;
        const UpdateOutcome outcome = Check(c.url, inst, ui);
        EXPECT_EQ(outcome.result, c.result) << UpdateResultName(outcome.result);
        EXPECT_EQ(ui.asked,
                  c.asked ? std::vector<std::string>{kAsked} : std::vector<std::string>{});
        EXPECT_TRUE(ui.told.empty());
        EXPECT_EQ(ui.progressCalls, 0);
        if (c.exeVersion.empty())
            EXPECT_EQ(RunExecutable(inst.exe), "old");
        else
            ExpectUntouched(inst);
    }

    // Without an HTTP client there is no connection.
    Installation inst("1.0.7.0");
    UpdaterEnvironment env{inst.exe.string(), inst.temp.string()};
    CAutoUpdater offline(nullptr, env);
    EXPECT_EQ(offline.CheckAndUpdate(s_http->Url("files", "newer"), {}).result, NoConnection);

    // An installation folder that cannot be written to is not attempted and
    // the user learns why, instead of being asked.
    test::FaultyFileOps readOnly;
    readOnly.writable = false;
    RecordingUi ui;
    EXPECT_EQ(Check(s_http->Url("files", "newer"), inst, ui, {.files = &readOnly}).result,
              NotInstalled);
    EXPECT_TRUE(ui.asked.empty());
    ASSERT_EQ(ui.told.size(), 1u);
    EXPECT_THAT(ui.told[0], HasSubstr("PallorwindWin|An update of pallorwind-win is available, "
                                      "but it cannot be installed here"));
    ExpectUntouched(inst);
}

// Installs over HTTPS, and every way an archive or its transfer can be bad.
TEST_F(UpdaterTest, InstallPutsOnlyACompleteExecutableInPlace) {
    {
        Publish("good", "1.0.8", GoodArchive());
        Installation inst("1.0.7.0");
        RecordingUi ui;
        const UpdateOutcome outcome = Check(s_https->Url("files", "good"), inst, ui);
        EXPECT_EQ(outcome.result, Updated);
        EXPECT_EQ(ui.asked, std::vector<std::string>{kAsked});
        EXPECT_EQ(ui.told, std::vector<std::string>{kToldUpdated});
        EXPECT_GE(ui.progressCalls, 1);
        EXPECT_EQ(ui.total, ziptest::ReadFile(*s_site / "good/pallorwind_win_update.zip").size());
        EXPECT_EQ(RunExecutable(inst.exe), "new");
        EXPECT_EQ(RunExecutable(inst.backup), "old");
        EXPECT_EQ(fs::status(inst.exe).permissions(), fs::status(inst.backup).permissions());
        EXPECT_THAT(inst.Files(), ElementsAre("OldExecutable.bak", kExe));
        EXPECT_TRUE(inst.TempEmpty());

        // A second update: the first backup goes, the then-running one takes
        // its place. Its temporary folder is on another file system (tmpfs)
        // when there is one, so the new file is copied into place.
        std::string shm = "/dev/shm/pallorwind-update-test.XXXXXX";
        if (fs::is_directory("/dev/shm") && ::mkdtemp(shm.data()) != nullptr)
            inst.temp = shm;
        Publish("good2", "1.0.9", GoodArchive("newer", "1.0.9.0"));
        RecordingUi again;
        EXPECT_EQ(Check(s_https->Url("files", "good2"), inst, again).result, Updated);
        EXPECT_EQ(RunExecutable(inst.exe), "newer");
        EXPECT_EQ(RunExecutable(inst.backup), "new");
        EXPECT_THAT(inst.Files(), ElementsAre("OldExecutable.bak", kExe));
        EXPECT_TRUE(inst.TempEmpty());
        if (inst.temp == shm)
            fs::remove_all(shm);
    }

    std::string badCrc = GoodArchive();
    {
        auto entry = Entry(kExe, FakeExecutable("new", "1.0.8.0"));
        entry.crc = ziptest::Crc32(entry.data) ^ 1u;
        badCrc = ziptest::Build({.entries = {entry}});
    }
    std::string shortEntry;
    {
        auto entry = Entry(kExe, FakeExecutable("new", "1.0.8.0"), 0);
        entry.payload = entry.data.substr(0, 10);
        entry.comprSize = 10;
        shortEntry = ziptest::Build({.entries = {entry}});
    }
    const std::string good = GoodArchive();
    Publish("inbin", "1.0.8",
            ziptest::Build({.entries = {Entry("bin/" + kExe, FakeExecutable("new", "1.0.8.0"))}}));
    Publish("badcrc", "1.0.8", badCrc);
    Publish("short", "1.0.8", shortEntry);
    Publish("notzip", "1.0.8", "<html><body>Not an archive</body></html>");
    Publish("truncated", "1.0.8", good.substr(0, good.size() / 2));
    Publish("traversal", "1.0.8",
            ziptest::Build({.entries = {Entry("../" + kExe, FakeExecutable("new", "1.0.8.0")),
                                        Entry("../../install/" + kExe, "evil")}}));
    auto folderEntry = Entry(kExe + "/", "", 0);
    folderEntry.externalAttr = 0x10;
    Publish("folder", "1.0.8", ziptest::Build({.entries = {folderEntry}}));
    Publish("big", "1.0.8",
            ziptest::Build({.entries = {Entry(kExe, FakeExecutable("new", "1.0.8.0") +
                                                        ziptest::SampleData(2 << 20))}}));
    struct Case {
        std::string url;
        UpdateResult result;
        std::string told; // "" for nothing
        bool trusted = true;
        std::uint64_t archiveLimit = kArchiveLimit;
    };
    const std::vector<Case> cases = {
        {s_https->Url("files", "inbin"), NotInstalled, ""},
        {s_https->Url("files", "badcrc"), NotInstalled, "PallorwindWin|Command failed."},
        {s_https->Url("files", "short"), NotInstalled, ""},
        {s_https->Url("files", "notzip"), NotInstalled, "PallorwindWin|Command failed."},
        {s_https->Url("files", "truncated"), NotInstalled, "PallorwindWin|Command failed."},
        {s_https->Url("files", "traversal"), NotInstalled, ""},
        {s_https->Url("files", "folder"), NotInstalled, ""},
        {s_https->Url("drop-zip", "big"), DownloadFailed, ""},
        {s_https->Url("stall-zip", "big"), DownloadFailed, ""},
        // Too large, as announced or as delivered (an endless body).
        {s_https->Url("slow-zip", "big"), DownloadFailed, "", true, 1 << 19},
        {s_https->Url("huge-zip", "big"), DownloadFailed, "", true, 1 << 19},
        // Certificates are verified: without the test's authority, no request.
        {s_https->Url("files", "good"), RequestFailed, "", false},
        // A redirect to http is refused; one to https is followed.
        {s_https->Url("redirect-http-" + std::to_string(s_http->Port()), "good"), RequestFailed,
         ""},
        {s_http->Url("redirect-https-" + std::to_string(s_https->Port()), "inbin"), NotInstalled,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        Installation inst("1.0.7.0");
        RecordingUi ui;
        const auto start = std::chrono::steady_clock::now();
        const UpdateOutcome outcome =
            Check(c.url, inst, ui, {.trustTestCa = c.trusted, .archiveLimit = c.archiveLimit});
        EXPECT_EQ(outcome.result, c.result) << UpdateResultName(outcome.result);
        if (c.archiveLimit != kArchiveLimit) {
            // Refused at once, before any of it is shown as progress.
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
            EXPECT_EQ(ui.total, 0u);
        }
        EXPECT_EQ(ui.told,
                  c.told.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.told});
        ExpectUntouched(inst);
        EXPECT_FALSE(fs::exists(inst.dir / kExe));
        EXPECT_FALSE(fs::exists(inst.dir / "install" / "evil"));
    }
}

// A failure at any step of the swap leaves a runnable executable in place,
// and nothing half-done beside it.
TEST_F(UpdaterTest, ReplacementFailingAtAnyStepKeepsAWorkingExecutable) {
    Publish("swap", "1.0.8", GoodArchive());
    // StageCopy (into the folder), Rename (aside to the backup), Rename (into place).
    for (int failAt = 1; failAt <= 3; ++failAt) {
        SCOPED_TRACE("failing call " + std::to_string(failAt));
        Installation inst("1.0.7.0");
        ziptest::WriteFile(inst.backup, "an earlier backup");
        test::FaultyFileOps files;
        files.failAt = failAt;
        RecordingUi ui;
        const UpdateOutcome outcome =
            Check(s_http->Url("files", "swap"), inst, ui, {.files = &files});
        EXPECT_EQ(outcome.result, NotInstalled);
        EXPECT_EQ(RunExecutable(inst.exe), "old");
        EXPECT_EQ(fs::status(inst.exe).permissions(), fs::perms(0755));
        // The earlier backup stays unless the old executable went there and came back.
        const std::vector<std::string> left =
            failAt < 3 ? std::vector<std::string>{"OldExecutable.bak", kExe}
                       : std::vector<std::string>{kExe};
        EXPECT_EQ(inst.Files(), left);
        EXPECT_TRUE(inst.TempEmpty());
    }
}

// The event loop runs on while the archive downloads, and Cancel stops it.
TEST_F(UpdaterTest, DownloadRunsOffTheEventLoopAndCanBeCancelled) {
    Publish("slow", "1.0.8",
            ziptest::Build(
                {.entries = {Entry(
                     kExe, FakeExecutable("new", "1.0.8.0") + ziptest::SampleData(1 << 20), 0)}}));
    {
        Installation inst("1.0.7.0");
        RecordingUi ui;
        using Clock = std::chrono::steady_clock;
        pallorwind::test::LoopGapMeter loop(std::chrono::milliseconds(1));
        loop.Start();
        const auto start = Clock::now();
        EXPECT_EQ(Check(s_http->Url("slow", "slow"), inst, ui).result, Updated);
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        loop.Stop();
        std::printf("update took %lld ms, longest event-loop stall %.0f ms\n",
                    static_cast<long long>(took.count()), loop.MaxMs());
        EXPECT_GE(took.count(), 900); // the server took its time
        EXPECT_LT(loop.MaxMs(), 250.0);
        EXPECT_GE(ui.progressCalls, 3);
    }
    {
        Installation inst("1.0.7.0");
        RecordingUi ui;
        UpdateCheck* running = nullptr;
        ui.onProgress = [&] {
            if (ui.bytes > 0 && running != nullptr)
                running->Cancel();
        };
        const UpdateOutcome outcome =
            Check(s_http->Url("slow", "slow"), inst, ui,
                  {.onStart = [&](UpdateCheck& check) { running = &check; }});
        EXPECT_EQ(outcome.result, NotInstalled);
        EXPECT_LT(ui.bytes, ui.total);
        ExpectUntouched(inst);
    }
}

// "AutoUpdateAtStartup" decides whether the notice is shown, what is stored
// and whether the check runs.
TEST_F(UpdaterTest, StartupCheckFollowsTheStoredChoice) {
    Publish("startup", "1.0.7");
    struct Case {
        std::optional<std::string> stored;
        bool ok, doNotCheck;
        int notices;
        std::optional<std::string> after;
        bool checks;
    };
    const std::vector<Case> cases = {
        {"0", false, true, 1, "0", true}, // Escape: nothing stored, still checks
        {"0", true, true, 1, "2", true},  // box ticked, Ok
        {"0", true, false, 1, "1", true}, // Ok
        {"1", true, true, 0, "1", true},  // silent check
        {"2", true, true, 0, "2", false}, // never
        {std::nullopt, true, true, 0, std::nullopt, false},
        {"yes", true, true, 0, "yes", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored.value_or("(absent)"));
        Installation inst("1.0.7.0");
        MemorySettingsStore settings;
        settings.values[kSettingUpdateURL] = s_http->Url("files", "startup");
        if (c.stored)
            settings.values[kSettingAutoUpdateAtStartup] = *c.stored;
        RecordingUi ui;
        ui.noticeOk = c.ok;
        ui.noticeDoNotCheck = c.doNotCheck;
        UpdaterEnvironment env{inst.exe.string(), inst.temp.string()};
        // Its owner may drop the check as soon as it has ended.
        auto check =
            std::make_unique<UpdateCheck>(ui, env, platform::HttpClientOptions{kUpdateUserAgent});
        std::optional<UpdateOutcome> outcome;
        StartupUpdateCheck(settings, ui, *check, [&](UpdateOutcome o) {
            outcome = o;
            check.reset();
        });
        EXPECT_EQ(check && check->Running(), c.checks);
        if (c.checks) {
            ASSERT_TRUE(test::PumpUntil([&] { return outcome.has_value(); }));
            EXPECT_EQ(outcome->result, NoNewerVersion);
        }
        EXPECT_EQ(ui.notices, c.notices);
        const auto stored = settings.values.find(kSettingAutoUpdateAtStartup);
        EXPECT_EQ(stored == settings.values.end() ? std::nullopt
                                                  : std::optional<std::string>(stored->second),
                  c.after);
    }
}

// pallorwind-win --update: one check and install, answered Yes.
TEST_F(UpdaterTest, CommandLineUpdateInstallsAndSaysWhatHappened) {
    Publish("cli", "99.0", GoodArchive("new", "99.0.0.0"));
    Publish("cli-same", PALLORWIND_PROJECT_VERSION, GoodArchive());
    struct Case {
        std::string folder;
        int exitCode;
        std::string said;
    };
    for (const Case& c :
         {Case{"cli", 0, "update: Updated"}, Case{"cli-same", 0, "update: NoNewerVersion"},
          Case{"cli-none", 1, "update: RequestFailed"}}) {
        SCOPED_TRACE(c.folder);
        Installation inst("");
        fs::copy_file(PALLORWIND_WIN, inst.exe, fs::copy_options::overwrite_existing);
        const fs::path config = inst.dir / "config";
        fs::create_directories(config / "Pallorwind");
        ziptest::WriteFile(config / "Pallorwind" / "PallorwindWIN.conf",
                           "[General]\nUpdateURL=" + s_http->Url("files", c.folder) + "\n");
        Child child({inst.exe.string(), "--update"},
                    {"XDG_CONFIG_HOME=" + config.string(), "TMPDIR=" + inst.temp.string()});
        std::string output;
        EXPECT_EQ(child.Wait(output), c.exitCode);
        EXPECT_THAT(output, HasSubstr(c.said));
        EXPECT_TRUE(inst.TempEmpty());
        if (c.exitCode == 0 && c.folder == "cli") {
            EXPECT_THAT(output, HasSubstr(kAsked.substr(kAsked.find('|') + 1) + " Yes"));
            EXPECT_THAT(output, HasSubstr(kToldUpdated.substr(kToldUpdated.find('|') + 1)));
            // Compared, not run: a failed update would leave the bridge itself there.
            EXPECT_EQ(ziptest::ReadFile(inst.exe), FakeExecutable("new", "99.0.0.0"));
            EXPECT_EQ(fs::file_size(inst.backup), fs::file_size(PALLORWIND_WIN));
        } else {
            EXPECT_THAT(inst.Files(), ElementsAre(kExe));
        }
    }
}

} // namespace
