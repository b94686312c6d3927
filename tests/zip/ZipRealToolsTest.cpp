// The archive reader over archives made by common tools at test time, and
// the pallorwind-unzip command.

#include "tests/support/ZipTestSupport.h"
#include "zip/CZipArchive.h"

#include <array>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace ziptest;
using namespace pallorwind::zip;

namespace {

struct CommandResult {
    int status = -1;
    std::string output;
};

// Runs a shell command, capturing standard output and error together.
CommandResult RunShell(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> chunk{};
    std::size_t n = 0;
    while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        result.output.append(chunk.data(), n);
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string Quote(const fs::path& path) {
    return "'" + path.string() + "'";
}

// A source tree with the sizes around the updater's 65535-byte buffer, a
// nested folder, an empty folder and an executable.
void MakeSourceTree(const fs::path& src) {
    fs::create_directories(src / "sub/dir");
    fs::create_directories(src / "empty-folder");
    WriteFile(src / "zero.bin", "");
    WriteFile(src / "b65535.bin", SampleData(65535, 11));
    WriteFile(src / "b65536.bin", SampleData(65536, 12));
    WriteFile(src / "sub/dir/one-mib.bin", SampleData(1 << 20, 13));
    WriteFile(src / "sub/notes.txt", std::string(200000, 'n'));
    WriteFile(src / "run.sh", "#!/bin/sh\necho updated\n");
    fs::permissions(src / "run.sh", fs::perms(0755));
}

struct ToolCase {
    const char* name;
    // Makes ARCHIVE from the current folder, which holds the source tree.
    const char* command;
};

void PrintTo(const ToolCase& c, std::ostream* os) {
    *os << c.name;
}

class RealToolTest : public ::testing::TestWithParam<ToolCase> {};

constexpr const char* kPythonZip = R"(python3 -c '
import os, sys, zipfile
method = zipfile.ZIP_DEFLATED if sys.argv[1] == "deflate" else zipfile.ZIP_STORED
out = open(sys.argv[2], "wb") if sys.argv[2] != "-" else sys.stdout.buffer
with zipfile.ZipFile(out, "w", method) as z:
    for root, dirs, files in sorted(os.walk(".")):
        for d in sorted(dirs):
            z.write(os.path.join(root, d))
        for f in sorted(files):
            z.write(os.path.join(root, f))
')";

TEST_P(RealToolTest, ExtractsTheWholeTreeLikeTheUpdater) {
    const ToolCase tool = GetParam();
    ScratchDir dir;
    const fs::path src = dir / "src";
    MakeSourceTree(src);
    const fs::path archive = dir / "made.zip";
    std::string command = tool.command;
    command.replace(command.find("ARCHIVE"), 7, Quote(archive));
    if (command.rfind("PYZIP", 0) == 0) {
        command.replace(0, 5, kPythonZip);
    }
    const CommandResult made = RunShell("cd " + Quote(src) + " && " + command);
    ASSERT_EQ(made.status, 0) << command << "\n" << made.output;

    CZipArchive zip;
    zip.OpenReadOnly(archive.string());
    ASSERT_GT(zip.EntryCount(), 6);
    const fs::path out = dir / "out";
    for (unsigned i = 0; i < zip.EntryCount(); ++i) {
        CZipFileHeader info;
        zip.GetFileInfo(static_cast<std::uint16_t>(i), info);
        EXPECT_TRUE(zip.ExtractEntry(static_cast<std::uint16_t>(i), out.string(), true, 65535))
            << info.GetFileName();
    }
    EXPECT_EQ(Tree(out), Tree(src));
    for (const char* name :
         {"b65535.bin", "b65536.bin", "sub/dir/one-mib.bin", "sub/notes.txt", "run.sh"}) {
        EXPECT_EQ(ReadFile(out / name), ReadFile(src / name)) << name;
    }
    struct stat st {};
    ASSERT_EQ(::stat((out / "run.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, RealToolTest,
    ::testing::Values(ToolCase{"zip_deflated", "zip -q -r ARCHIVE ."},
                      ToolCase{"zip_stored", "zip -q -0 -r ARCHIVE ."},
                      // written to a pipe: sizes and CRCs follow the data
                      ToolCase{"zip_streamed", "zip -q -r - . | cat > ARCHIVE"},
                      ToolCase{"bsdtar_deflated", "bsdtar --format zip -cf ARCHIVE ."},
                      ToolCase{"bsdtar_stored",
                               "bsdtar --format zip --options zip:compression=store -cf ARCHIVE ."},
                      ToolCase{"python_deflated", "PYZIP deflate ARCHIVE"},
                      ToolCase{"python_stored", "PYZIP store ARCHIVE"},
                      ToolCase{"python_streamed", "PYZIP deflate - | cat > ARCHIVE"},
                      ToolCase{"p7zip_deflated", "7z a -tzip -mm=Deflate ARCHIVE . > /dev/null"},
                      ToolCase{"p7zip_stored", "7z a -tzip -mx=0 ARCHIVE . > /dev/null"}),
    [](const ::testing::TestParamInfo<ToolCase>& info) { return std::string(info.param.name); });

// --- pallorwind-unzip ------------------------------------------------------

class UnzipCommandTest : public ::testing::Test {
protected:
    CommandResult Unzip(const std::string& args) {
        return RunShell(std::string(PALLORWIND_UNZIP) + " " + args);
    }
    ScratchDir dir;
};

TEST_F(UnzipCommandTest, ExtractsEverythingAndExitsZero) {
    WriteFile(dir / "a.zip", Build({.entries = {Entry("x/a.txt", "a"), Entry("b.txt", "b", 0)}}));
    const CommandResult r = Unzip(Quote(dir / "a.zip") + " " + Quote(dir / "out"));
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(ReadFile(dir / "out/x/a.txt"), "a");
    EXPECT_EQ(ReadFile(dir / "out/b.txt"), "b");
}

TEST_F(UnzipCommandTest, GoesOnAfterFailedEntriesAndExitsNonZero) {
    CraftedEntry method12 = Entry("m12.bin", "zz", 12);
    method12.payload = "zz";
    CraftedEntry badCrc = Entry("crc.txt", "crc");
    badCrc.crc = 1;
    fs::create_directories(dir / "out/taken");
    WriteFile(dir / "a.zip", Build({.entries = {method12, Entry("../up.txt", "up"), badCrc,
                                                Entry("taken", "t"), Entry("good.txt", "good")}}));
    const CommandResult r = Unzip(Quote(dir / "a.zip") + " " + Quote(dir / "out"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\"m12.bin\": cause 10"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"../up.txt\": not extracted"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"crc.txt\": cause 11"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find((dir / "out/taken").string()), std::string::npos) << r.output;
    EXPECT_EQ(ReadFile(dir / "out/good.txt"), "good");
    EXPECT_FALSE(fs::exists(dir / "up.txt"));
}

TEST_F(UnzipCommandTest, ArchiveErrorsAndListing) {
    WriteFile(dir / "page.zip", "<html>not found</html>");
    CommandResult r = Unzip(Quote(dir / "page.zip") + " " + Quote(dir / "out"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("cause 18"), std::string::npos) << r.output;

    r = Unzip(Quote(dir / "missing.zip") + " " + Quote(dir / "out"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find((dir / "missing.zip").string()), std::string::npos) << r.output;

    // The updater's unpack limit holds here too.
    CraftedEntry huge = Entry("huge.dat", "h", 0);
    huge.uncomprSize = 0xFFFFFFFFu;
    WriteFile(dir / "huge.zip", Build({.entries = {huge}}));
    r = Unzip(Quote(dir / "huge.zip") + " " + Quote(dir / "out"));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("cause 1 "), std::string::npos) << r.output;

    WriteFile(dir / "a.zip", Build({.entries = {Entry("dir/listed.txt", "12345")}}));
    r = Unzip("-l " + Quote(dir / "a.zip"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("dir/listed.txt"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "out"));
}

} // namespace
