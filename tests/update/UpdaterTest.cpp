// The update check and install against a real update folder on loopback,
// served over HTTP and over HTTPS with a certificate authority made for the
// test run.

#include "UpdateTestSupport.h"
#include "platform/http/HttpClient.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FaultyFileOps.h"
#include "tests/support/MemorySettingsStore.h"
#include "tests/support/ZipTestSupport.h"
#include "win/app/StoredUpdateSettings.h"
#include "win/update/CAutoUpdater.h"
#include "win/update/DottedVersion.h"
#include "win/update/ExecutableVersion.h"
#include "win/update/UpdateCheck.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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
        std::uint64_t archiveLimit = kUpdateSizeLimit;
    };

    static UpdaterEnvironment Environment(const Installation& inst, const Options& options) {
        UpdaterEnvironment env;
        env.executablePath = inst.exe.string();
        env.tempRoot = inst.temp.string();
        env.requestLimits = {5000, 10000, 1000};
        env.downloadLimits = {5000, 20000, 1000};
        env.fileOps = options.files;
        env.archiveLimit = options.archiveLimit;
        return env;
    }
    static platform::HttpClientOptions HttpOptions(const Options& options) {
        platform::HttpClientOptions http;
        http.userAgent = kUpdateUserAgent;
        if (options.trustTestCa)
            http.caFile = (*s_certs / "ca.pem").string();
        return http;
    }

    // One check through UpdateCheck, on its worker thread; waits for its end
    // on the event loop.
    static UpdateOutcome Check(const std::string& baseUrl, Installation& inst, RecordingUi& ui,
                               const Options& options) {
        UpdateCheck check(ui, Environment(inst, options), HttpOptions(options));
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

    // How one check and install in a child process ended: its exit code (-1
    // for a signal), and its outcome when it got that far.
    struct ChildRun {
        int exitCode = -1;
        std::optional<UpdateOutcome> outcome;
    };
    // One check and install in a forked child, answered Yes, on the child's
    // one thread; prepare runs in the child first.
    static ChildRun UpdateInChild(const std::string& baseUrl, const Installation& inst,
                                  const Options& options, const std::function<void()>& prepare) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return {};
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            try {
                if (prepare)
                    prepare();
                CAutoUpdater updater(platform::CreateHttpClient(HttpOptions(options)),
                                     Environment(inst, options));
                CAutoUpdater::Hooks hooks;
                hooks.ask = [](const std::string&, const std::string&) { return true; };
                const UpdateOutcome o = updater.CheckAndUpdate(baseUrl, hooks);
                const std::string report = std::to_string(o.result) + "\n" + o.message;
                ::_exit(::write(fds[1], report.data(), report.size()) ==
                                static_cast<ssize_t>(report.size())
                            ? 0
                            : 2);
            } catch (...) {
                ::_exit(3);
            }
        }
        ::close(fds[1]);
        std::string report;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
            if (n > 0)
                report.append(buffer, static_cast<std::size_t>(n));
            else if (errno != EINTR)
                break;
        }
        ::close(fds[0]);
        int status = 0;
        ChildRun run;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            run.exitCode = WEXITSTATUS(status);
        if (run.exitCode == 0) {
            const std::size_t line = report.find('\n');
            run.outcome =
                UpdateOutcome{static_cast<UpdateResult>(std::stoi(report.substr(0, line))),
                              report.substr(line + 1)};
        }
        return run;
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
        // Only the executable is unpacked: what the temporary folder holds
        // when the install begins.
        test::FaultyFileOps files;
        std::vector<std::pair<std::string, long long>> unpacked;
        files.before = [&](int call, const std::string&) {
            if (call == 1)
                unpacked = ziptest::Tree(inst.temp);
        };
        const UpdateOutcome outcome =
            Check(s_https->Url("files", "good"), inst, ui, {.files = &files});
        EXPECT_EQ(outcome.result, Updated);
        EXPECT_EQ(ui.asked, std::vector<std::string>{kAsked});
        EXPECT_EQ(ui.told, std::vector<std::string>{kToldUpdated});
        EXPECT_GE(ui.progressCalls, 1);
        const auto archiveSize =
            ziptest::ReadFile(*s_site / "good/pallorwind_win_update.zip").size();
        EXPECT_EQ(ui.total, archiveSize);
        ASSERT_EQ(unpacked.size(), 4u);
        EXPECT_THAT(unpacked[1].first, ::testing::EndsWith("/files"));
        EXPECT_THAT(unpacked[2].first, ::testing::EndsWith("/files/" + kExe));
        EXPECT_THAT(unpacked[3].first, ::testing::EndsWith("/pallorwind_win_update.zip"));
        EXPECT_EQ(unpacked[3].second, static_cast<long long>(archiveSize));
        EXPECT_EQ(files.calls, (std::vector<std::string>{"StageCopy", "StageLink", "Rename",
                                                         "Rename", "SyncFolder"}));
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
    // The executable and 200 central records all pointing at one deflated
    // entry of 16 MiB of zeros.
    ziptest::CraftedArchive bomb{.entries = {Entry(kExe, FakeExecutable("new", "1.0.8.0")),
                                             ziptest::ZerosEntry("zeros", 16 << 20)}};
    auto copy = bomb.entries[1];
    copy.centralOnly = true;
    copy.offset = static_cast<std::uint32_t>(30 + kExe.size() +
                                             ziptest::RawDeflate(bomb.entries[0].data).size());
    bomb.entries.insert(bomb.entries.end(), 200, copy);
    auto oversized = Entry("huge.dat", "h", 0);
    oversized.uncomprSize = 0xFFFFFFFFu;
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
    Publish("wrongversion", "99.0.0", GoodArchive("new", "98.0.0"));
    Publish("noversion", "1.0.8", GoodArchive("new", ""));
    Publish("overlap", "1.0.8", ziptest::Build(bomb));
    Publish(
        "oversized", "1.0.8",
        ziptest::Build({.entries = {Entry(kExe, FakeExecutable("new", "1.0.8.0")), oversized}}));
    const std::string notInstalled = "PallorwindWin|The update was not installed: ";
    const std::string notDownloaded = "PallorwindWin|The update could not be downloaded: ";
    struct Case {
        std::string url;
        UpdateResult result;
        std::string told; // the start of what is told; "" for nothing
        bool trusted = true;
        std::uint64_t archiveLimit = kUpdateSizeLimit;
    };
    const std::vector<Case> cases = {
        {s_https->Url("files", "inbin"), NotInstalled,
         notInstalled + "the update archive holds no pallorwind-win."},
        {s_https->Url("files", "badcrc"), NotInstalled, "PallorwindWin|Command failed."},
        {s_https->Url("files", "short"), NotInstalled,
         notInstalled + "the pallorwind-win in the update archive cannot be unpacked completely."},
        {s_https->Url("files", "notzip"), NotInstalled, "PallorwindWin|Command failed."},
        {s_https->Url("files", "truncated"), NotInstalled, "PallorwindWin|Command failed."},
        {s_https->Url("files", "traversal"), NotInstalled,
         notInstalled + "the update archive holds no pallorwind-win."},
        {s_https->Url("files", "folder"), NotInstalled,
         notInstalled + "the update archive holds no pallorwind-win."},
        {s_https->Url("files", "wrongversion"), NotInstalled,
         notInstalled + "the pallorwind-win in the update archive is version 98.0, but "
                        "update.txt announces 99.0.0."},
        {s_https->Url("files", "noversion"), NotInstalled,
         notInstalled + "the pallorwind-win in the update archive carries no version, but "
                        "update.txt announces 1.0.8."},
        {s_https->Url("files", "overlap"), NotInstalled, "PallorwindWin|Command failed."},
        {s_https->Url("files", "oversized"), NotInstalled, "PallorwindWin|Command failed."},
        {s_https->Url("drop-zip", "big"), DownloadFailed,
         notDownloaded + "pallorwind_win_update.zip: transfer broke off"},
        {s_https->Url("stall-zip", "big"), DownloadFailed,
         notDownloaded + "pallorwind_win_update.zip: timed out"},
        // Too large, as announced or as delivered (an endless body).
        {s_https->Url("slow-zip", "big"), DownloadFailed,
         notDownloaded + "it is larger than 524288 bytes.", true, 1 << 19},
        {s_https->Url("huge-zip", "big"), DownloadFailed,
         notDownloaded + "it is larger than 524288 bytes.", true, 1 << 19},
        // Certificates are verified: without the test's authority, no request
        // (and, before the question, nothing told).
        {s_https->Url("files", "good"), RequestFailed, "", false},
        // A redirect to http is refused; one to https is followed.
        {s_https->Url("redirect-http-" + std::to_string(s_http->Port()), "good"), RequestFailed,
         ""},
        {s_http->Url("redirect-https-" + std::to_string(s_https->Port()), "inbin"), NotInstalled,
         notInstalled + "the update archive holds no pallorwind-win."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        Installation inst("1.0.7.0");
        RecordingUi ui;
        const auto start = std::chrono::steady_clock::now();
        const UpdateOutcome outcome =
            Check(c.url, inst, ui, {.trustTestCa = c.trusted, .archiveLimit = c.archiveLimit});
        EXPECT_EQ(outcome.result, c.result) << UpdateResultName(outcome.result);
        if (c.archiveLimit != kUpdateSizeLimit) {
            // Refused at once, before any of it is shown as progress.
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
            EXPECT_EQ(ui.total, 0u);
        }
        if (c.told.empty()) {
            EXPECT_THAT(ui.told, ::testing::IsEmpty());
        } else {
            EXPECT_THAT(ui.told, ElementsAre(::testing::StartsWith(c.told)));
        }
        ExpectUntouched(inst);
        EXPECT_FALSE(fs::exists(inst.dir / kExe));
        EXPECT_FALSE(fs::exists(inst.dir / "install" / "evil"));
    }
}

// A step of the swap that fails leaves a runnable executable in place and is
// told. When the previous executable cannot become the backup, the swap is
// undone; when that fails too, the user learns where the previous one is,
// and the next check makes it the backup.
TEST_F(UpdaterTest, FailingStepsOfTheSwapAreUndoneAndTold) {
    Publish("swap", "1.0.8", GoodArchive());
    const std::string notInstalled = "PallorwindWin|The update was not installed: ";
    // StageCopy, StageLink, Rename (the swap), Rename (to the backup), then
    // Rename (undoing the swap) or SyncFolder.
    struct Case {
        std::vector<int> failing;
        UpdateResult result;
        std::string running;
        std::string told;
    };
    const std::vector<Case> cases = {
        {{1}, NotInstalled, "old", notInstalled + "cannot copy the new version into "},
        {{2}, NotInstalled, "old", notInstalled + "cannot keep the running version aside in "},
        {{3}, NotInstalled, "old", notInstalled + "cannot move the new version to "},
        {{4}, NotInstalled, "old", notInstalled + "the previous version cannot be kept as "},
        {{4, 5},
         Updated,
         "new",
         "PallorwindWin|The new version of pallorwind-win is in place, "
         "but the previous version could not be kept as "},
        {{5}, Updated, "new", kToldUpdated}, // the folder's write-through: only logged
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("failing call " + std::to_string(c.failing.front()) + " of " +
                     std::to_string(c.failing.size()));
        Installation inst("1.0.7.0");
        ziptest::WriteFile(inst.backup, FakeExecutable("older", "1.0.6.0"));
        fs::permissions(inst.backup, fs::perms::owner_all);
        test::FaultyFileOps files;
        files.failing = c.failing;
        RecordingUi ui;
        const UpdateOutcome outcome =
            Check(s_http->Url("files", "swap"), inst, ui, {.files = &files});
        EXPECT_EQ(outcome.result, c.result) << UpdateResultName(outcome.result);
        EXPECT_THAT(ui.told, ElementsAre(::testing::StartsWith(c.told)));
        EXPECT_EQ(RunExecutable(inst.exe), c.running);
        EXPECT_EQ(fs::status(inst.exe).permissions(), fs::perms(0755));
        EXPECT_TRUE(inst.TempEmpty());
        if (c.failing != std::vector<int>{4, 5}) {
            // The earlier backup stays unless the update completed.
            EXPECT_EQ(RunExecutable(inst.backup), c.running == "new" ? "old" : "older");
            EXPECT_THAT(inst.Files(), ElementsAre("OldExecutable.bak", kExe));
            continue;
        }
        // The previous executable is where the message says; the next check
        // makes it the backup and leaves nothing else.
        EXPECT_EQ(RunExecutable(inst.backup), "older");
        ASSERT_EQ(ui.told.size(), 1u);
        const std::size_t at = ui.told[0].find("is at ") + 6;
        const fs::path kept = ui.told[0].substr(at, ui.told[0].find(' ', at) - at);
        EXPECT_EQ(RunExecutable(kept), "old");
        EXPECT_EQ(inst.Files().size(), 3u);
        RecordingUi next;
        EXPECT_EQ(Check(s_http->Url("files", "swap"), inst, next).result, NoNewerVersion);
        EXPECT_EQ(RunExecutable(inst.backup), "old");
        EXPECT_THAT(inst.Files(), ElementsAre("OldExecutable.bak", kExe));
    }
}

// A process killed just before any file operation of the install (one run
// per operation) leaves a runnable executable under its name; the next update
// completes and removes what the killed one left behind, the previous
// executable becoming the backup where the swap had already happened.
TEST_F(UpdaterTest, KilledAtAnyStepLeavesAProgramAndTheNextUpdateTidiesUp) {
    Publish("crash", "1.0.8", GoodArchive());
    const std::string url = s_http->Url("files", "crash");
    constexpr int kDied = 86;
    int steps = 0;
    for (int dieAt = 1; dieAt < 20; ++dieAt) {
        SCOPED_TRACE("killed before file operation " + std::to_string(dieAt));
        Installation inst("1.0.7.0");
        ziptest::WriteFile(inst.backup, FakeExecutable("older", "1.0.6.0"));
        fs::permissions(inst.backup, fs::perms::owner_all);
        test::FaultyFileOps files;
        files.before = [dieAt](int call, const std::string&) {
            if (call == dieAt)
                ::_exit(kDied);
        };
        const ChildRun run = UpdateInChild(url, inst, {.files = &files}, {});
        if (run.exitCode != kDied) {
            // Past the last operation: this run completed.
            ASSERT_EQ(run.exitCode, 0);
            EXPECT_EQ(run.outcome->result, Updated);
            EXPECT_EQ(RunExecutable(inst.exe), "new");
            break;
        }
        ++steps;
        const std::string running = RunExecutable(inst.exe);
        EXPECT_TRUE(running == "old" || running == "new") << "\"" << running << "\"";
        EXPECT_FALSE(inst.TempEmpty());

        RecordingUi ui;
        EXPECT_EQ(Check(url, inst, ui).result, running == "new" ? NoNewerVersion : Updated);
        EXPECT_EQ(RunExecutable(inst.exe), "new");
        EXPECT_EQ(RunExecutable(inst.backup), "old");
        EXPECT_THAT(inst.Files(), ElementsAre("OldExecutable.bak", kExe));
        EXPECT_TRUE(inst.TempEmpty());
    }
    EXPECT_EQ(steps, 5);
}

// A full disk, where a file size limit in a child process stands in for
// it: the download or the unpacking fails, is told, and nothing is installed.
TEST_F(UpdaterTest, FullDiskIsToldAndInstallsNothing) {
    const std::string large = FakeExecutable("new", "1.0.8.0") + std::string(2 << 20, '\0');
    Publish("full-stored", "1.0.8", ziptest::Build({.entries = {Entry(kExe, large, 0)}}));
    Publish("full-deflated", "1.0.8", ziptest::Build({.entries = {Entry(kExe, large)}}));
    const std::string tooLarge = std::strerror(EFBIG);
    struct Case {
        std::string folder;
        UpdateResult result;
        std::string told;
    };
    for (const Case& c :
         {Case{"full-stored", DownloadFailed, "The update could not be downloaded: cannot write "},
          Case{"full-deflated", NotInstalled, "cannot write "}}) {
        SCOPED_TRACE(c.folder);
        Installation inst("1.0.7.0");
        const ChildRun run = UpdateInChild(s_http->Url("files", c.folder), inst, {}, [] {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{1 << 20, 1 << 20};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.outcome->result, c.result) << UpdateResultName(run.outcome->result);
        EXPECT_THAT(run.outcome->message, ::testing::StartsWith(c.told));
        EXPECT_THAT(run.outcome->message, HasSubstr(tooLarge));
        ExpectUntouched(inst);
    }
}

// Plain http is refused before anything leaves the computer, except to this
// computer itself; so is a request that libcurl cannot be set up for as
// asked.
TEST_F(UpdaterTest, PlainHttpAndOptionsNotTakenMakeNoRequest) {
    for (const char* url : {"https://example.com/files/", "http://127.0.0.1:8080/files/",
                            "http://localhost/files/", "HTTP://LocalHost:80/", "http://[::1]:8/"})
        EXPECT_TRUE(platform::IsSecureOrLoopbackUrl(url)) << url;
    for (const char* url :
         {"http://example.com/files/", "http://127.0.0.2/", "http://127.0.0.1@example.com/",
          "http://localhost.example.com/", "http://[::2]/", "ftp://127.0.0.1/", "file:///tmp/",
          "127.0.0.1/files/", ""})
        EXPECT_FALSE(platform::IsSecureOrLoopbackUrl(url)) << url;

    // A plain http folder on another loopback address than the literal one:
    // refused and told, and the server hears nothing of it.
    ziptest::ScratchDir logs;
    Publish("plain", "1.0.8", GoodArchive());
    UpdateServer other(s_site->path(), {.address = "127.0.0.2", .log = logs / "other.log"});
    Installation inst("1.0.7.0");
    RecordingUi ui;
    EXPECT_EQ(Check(other.Url("files", "plain"), inst, ui).result, RequestFailed);
    EXPECT_THAT(ui.told,
                ElementsAre("PallorwindWin|The update folder " + other.Url("files", "plain") +
                            " is not an https address. Updates are only fetched over "
                            "https, or over http from this computer itself."));
    EXPECT_TRUE(ui.asked.empty());
    ExpectUntouched(inst);
    EXPECT_THAT(other.Log(), ::testing::IsEmpty());
    // (It does hear a request that is made.)
    EXPECT_TRUE(RawGet("127.0.0.2", other.Port(), "/files/plain/update.txt"));
    EXPECT_THAT(other.Log(), ElementsAre("CONNECT", "GET /files/plain/update.txt"));

    // An option that libcurl does not take (a string longer than it accepts)
    // stops the request before it is made.
    UpdateServer logged(s_site->path(), {.log = logs / "logged.log"});
    const std::string versionFile = logged.Url("files", "plain") + kVersionFileName;
    const auto ignore = [](const char*, std::size_t) { return true; };
    auto refused = platform::CreateHttpClient({std::string(8'000'001, 'A')});
    const platform::HttpResult r = refused->Get(versionFile, {}, ignore);
    EXPECT_EQ(r.outcome, platform::HttpOutcome::ConnectFailed);
    EXPECT_THAT(r.error, HasSubstr("cannot set up the request"));
    EXPECT_THAT(logged.Log(), ::testing::IsEmpty());
    auto taken = platform::CreateHttpClient({kUpdateUserAgent});
    EXPECT_EQ(taken->Get(versionFile, {}, ignore).outcome, platform::HttpOutcome::Completed);
    EXPECT_THAT(logged.Log(), ElementsAre("CONNECT", "GET /files/plain/update.txt"));
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
    {
        // Cancelled after the download, at the last moment before the swap
        // (while the running executable is being kept aside): nothing is
        // installed, nothing is told.
        Installation inst("1.0.7.0");
        RecordingUi ui;
        std::atomic<UpdateCheck*> running{nullptr};
        test::FaultyFileOps files;
        files.before = [&](int, const std::string& operation) {
            if (UpdateCheck* check = running.load(); check != nullptr && operation == "StageLink")
                check->Cancel();
        };
        const UpdateOutcome outcome =
            Check(s_http->Url("files", "slow"), inst, ui,
                  {.files = &files, .onStart = [&](UpdateCheck& check) { running = &check; }});
        EXPECT_EQ(outcome.result, NotInstalled);
        EXPECT_EQ(ui.bytes, ui.total);
        EXPECT_TRUE(ui.told.empty());
        ExpectUntouched(inst);
    }
}

// "AutoUpdateAtStartup" decides whether the notice is shown, what is stored
// and whether the check runs; what killed updates left behind goes either
// way.
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
        fs::create_directories(inst.temp / "pallorwind-update.AbC123/files");
        ziptest::WriteFile(inst.folder / ".pallorwind-update.new.AbC123", "left");
        std::optional<UpdateOutcome> outcome;
        StoredUpdateSettings view(settings);
        StartupUpdateCheck(view, ui, *check, [&](UpdateOutcome o) {
            outcome = o;
            check.reset();
        });
        ASSERT_TRUE(test::PumpUntil([&] { return !check || !check->Running(); }));
        EXPECT_EQ(outcome.has_value(), c.checks);
        if (c.checks) {
            EXPECT_EQ(outcome->result, NoNewerVersion);
        }
        EXPECT_TRUE(inst.TempEmpty());
        EXPECT_THAT(inst.Files(), ElementsAre(kExe));
        EXPECT_EQ(ui.notices, c.notices);
        const auto stored = settings.values.find(kSettingAutoUpdateAtStartup);
        EXPECT_EQ(stored == settings.values.end() ? std::nullopt
                                                  : std::optional<std::string>(stored->second),
                  c.after);
    }

    // A check asked for while the tidy-up runs follows it.
    Installation inst("1.0.7.0");
    RecordingUi ui;
    UpdateCheck check(ui, {inst.exe.string(), inst.temp.string()}, {kUpdateUserAgent});
    check.TidyUp();
    std::optional<UpdateOutcome> outcome;
    EXPECT_TRUE(
        check.Start(s_http->Url("files", "startup"), [&](UpdateOutcome o) { outcome = o; }));
    EXPECT_FALSE(check.Start(s_http->Url("files", "startup")));
    ASSERT_TRUE(test::PumpUntil([&] { return outcome.has_value(); }));
    EXPECT_EQ(outcome->result, NoNewerVersion);
}

// pallorwind-win --update: one check and install, answered Yes.
TEST_F(UpdaterTest, CommandLineUpdateInstallsAndSaysWhatHappened) {
    Publish("cli", "99.0", GoodArchive("new", "99.0.0.0"));
    Publish("cli-same", PALLORWIND_PROJECT_VERSION, GoodArchive());
    Publish("cli-wrong", "99.0", GoodArchive("new", "98.0.0.0"));
    struct Case {
        std::string folder;
        int exitCode;
        std::string said;
    };
    for (const Case& c :
         {Case{"cli", 0, "update: Updated"}, Case{"cli-same", 0, "update: NoNewerVersion"},
          Case{"cli-none", 1, "update: RequestFailed"},
          Case{"cli-wrong", 1,
               "\nPallorwindWin: The update was not installed: the pallorwind-win in the update "
               "archive is version 98.0, but update.txt announces 99.0.\n"}}) {
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
