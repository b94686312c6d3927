// The archive reader over archives crafted byte by byte.

// Every header a user of the reader includes, first: none of them may bring
// zlib along.
#include "zip/CFileError.h"
#include "zip/CZipArchive.h"
#include "zip/CZipException.h"
#include "zip/CodePage437.h"
#include "zip/ZipFileSystem.h"
#ifdef ZLIB_H
#error "zlib leaks into the archive reader's headers"
#endif

#include "tests/support/ZipTestSupport.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace ziptest;
using namespace pallorwind::zip;

// The reader's write() calls come here (the test is linked with
// --wrap=write): while g_writesTakeNothing is set they write nothing and say
// so, as a full or failing file system may; after 100 such calls, an error
// (so that a reader that keeps trying still ends).
std::atomic<bool> g_writesTakeNothing{false};
std::atomic<int> g_writeCalls{0};

extern "C" ssize_t __real_write(int fd, const void* data, size_t size);
extern "C" ssize_t __wrap_write(int fd, const void* data, size_t size) {
    if (g_writesTakeNothing) {
        if (++g_writeCalls > 100) {
            errno = EIO;
            return -1;
        }
        return 0;
    }
    return __real_write(fd, data, size);
}

namespace {

constexpr std::size_t kUpdaterBuffer = 65535;
constexpr std::uint64_t kUnpackLimit = std::uint64_t(256) << 20;

// Writes the crafted archive to the scratch folder and opens it, with an
// unpack limit of 256 MiB.
class ZipReaderTest : public ::testing::Test {
protected:
    ZipReaderTest() { zip.SetUnpackLimit(kUnpackLimit); }
    void Open(const CraftedArchive& crafted) { OpenBytes(Build(crafted)); }
    void OpenBytes(const std::string& bytes) {
        WriteFile(archivePath(), bytes);
        zip.OpenReadOnly(archivePath().string());
    }
    // The cause raised by opening the bytes, or 0.
    int OpenCause(const std::string& bytes) {
        try {
            OpenBytes(bytes);
        } catch (const CZipException& e) {
            EXPECT_EQ(e.m_szFileName, archivePath().string());
            return e.m_iCause;
        }
        return 0;
    }
    bool Extract(unsigned index, std::size_t buffer = kUpdaterBuffer) {
        return zip.ExtractEntry(static_cast<std::uint16_t>(index), out().string(), true, buffer);
    }
    // The cause raised by extracting the entry, or 0.
    int ExtractCause(unsigned index) {
        try {
            Extract(index);
        } catch (const CZipException& e) {
            return e.m_iCause;
        }
        return 0;
    }
    fs::path archivePath() const { return dir / "archive.zip"; }
    fs::path out() const { return dir / "out"; }

    ScratchDir dir;
    CZipArchive zip;
};

// --- entry data ----------------------------------------------------------

struct SizeCase {
    std::uint16_t method;
    std::size_t size;
    std::size_t buffer;
};

void PrintTo(const SizeCase& c, std::ostream* os) {
    *os << "method " << c.method << ", " << c.size << " bytes, buffer " << c.buffer;
}

class EntrySizeTest : public ZipReaderTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(EntrySizeTest, ExtractsExactBytes) {
    const SizeCase c = GetParam();
    const std::string data = SampleData(c.size, static_cast<unsigned>(c.size));
    Open({.entries = {Entry("f.bin", data, c.method)}});
    ASSERT_TRUE(Extract(0, c.buffer));
    EXPECT_EQ(ReadFile(out() / "f.bin"), data);
}

INSTANTIATE_TEST_SUITE_P(
    StoredAndDeflated, EntrySizeTest,
    ::testing::Values(SizeCase{0, 0, kUpdaterBuffer}, SizeCase{8, 0, kUpdaterBuffer},
                      SizeCase{0, 65535, kUpdaterBuffer}, SizeCase{8, 65535, kUpdaterBuffer},
                      SizeCase{0, 65536, kUpdaterBuffer}, SizeCase{8, 65536, kUpdaterBuffer},
                      SizeCase{0, 1 << 20, kUpdaterBuffer}, SizeCase{8, 1 << 20, kUpdaterBuffer},
                      // output buffers far smaller than the entry, and of one byte
                      SizeCase{8, 100000, 1000}, SizeCase{0, 40000, 7}, SizeCase{8, 3000, 1}));

TEST_F(ZipReaderTest, DataDescriptorWithAndWithoutSignature) {
    CraftedEntry with = Entry("with.txt", SampleData(70000, 2));
    with.descriptor = true;
    CraftedEntry without = Entry("without.txt", SampleData(5000, 3), 0);
    without.descriptor = true;
    without.descriptorSignature = false;
    Open({.entries = {with, without}});
    EXPECT_TRUE(Extract(0));
    EXPECT_TRUE(Extract(1));
    EXPECT_EQ(ReadFile(out() / "with.txt"), with.data);
    EXPECT_EQ(ReadFile(out() / "without.txt"), without.data);
}

TEST_F(ZipReaderTest, DataDescriptorThatDisagreesIsDamage) {
    CraftedEntry e = Entry("f.txt", "hello");
    e.descriptor = true;
    e.descriptorCrc = 0x12345678;
    Open({.entries = {e, Entry("next.txt", "next")}});
    EXPECT_EQ(ExtractCause(0), CZipException::badZipFile);
    // The archive stays usable for the following entries.
    EXPECT_TRUE(Extract(1));
}

TEST_F(ZipReaderTest, CrcMismatchRaisesAfterTheFileIsWritten) {
    CraftedEntry e = Entry("f.txt", SampleData(100000));
    e.crc = Crc32(e.data) ^ 1;
    Open({.entries = {e}});
    EXPECT_EQ(ExtractCause(0), CZipException::badCrc);
    EXPECT_EQ(ReadFile(out() / "f.txt"), e.data);
}

TEST_F(ZipReaderTest, CorruptAndTruncatedDeflateData) {
    const std::string data = SampleData(200000, 9);
    const std::string deflated = RawDeflate(data);
    CraftedEntry corrupt = Entry("corrupt", data);
    corrupt.payload = std::string("\xff\xff\xff\xff", 4) + deflated.substr(4); // block type 3
    CraftedEntry truncated = Entry("truncated", data);
    truncated.payload = deflated.substr(0, deflated.size() / 2);
    Open({.entries = {corrupt, truncated}});
    EXPECT_EQ(ExtractCause(0), CZipException::dataError);
    EXPECT_EQ(ExtractCause(1), CZipException::bufError);
}

TEST_F(ZipReaderTest, DeflateStreamEndingEarlyLeavesShortFile) {
    CraftedEntry e = Entry("short.txt", "only this");
    e.uncomprSize = 100; // the stream ends after 9 bytes
    Open({.entries = {e}});
    EXPECT_FALSE(Extract(0));
    EXPECT_EQ(ReadFile(out() / "short.txt"), "only this");
}

TEST_F(ZipReaderTest, DeflateStreamLongerThanRecordedIsDamage) {
    CraftedEntry e = Entry("long.txt", SampleData(5000));
    e.payload = RawDeflate(SampleData(6000));
    e.uncomprSize = 5000;
    Open({.entries = {e}});
    EXPECT_EQ(ExtractCause(0), CZipException::badZipFile);
}

// Sizes that cannot agree with the stored bytes must end, never spin.
TEST_F(ZipReaderTest, StoredEntryWithMismatchedSizesEnds) {
    const std::string data = SampleData(1000);
    CraftedEntry longer = Entry("longer", data, 0);
    longer.payload = data + std::string(40000, 'x'); // compressed > uncompressed + input buffer
    CraftedEntry shorter = Entry("shorter", data, 0);
    shorter.uncomprSize = 50000; // more than is stored
    Open({.entries = {longer, shorter}});
    EXPECT_TRUE(Extract(0));
    EXPECT_EQ(ReadFile(out() / "longer"), data);
    EXPECT_FALSE(Extract(1));
    EXPECT_EQ(ReadFile(out() / "shorter").size(), 1000u);
}

TEST_F(ZipReaderTest, EncryptedEntryIsNotExtracted) {
    CraftedEntry e = Entry("secret.txt", "data");
    e.flag = 0x0001;
    Open({.entries = {e, Entry("plain.txt", "plain")}});
    EXPECT_FALSE(Extract(0));
    EXPECT_FALSE(fs::exists(out() / "secret.txt"));
    EXPECT_TRUE(Extract(1));
}

TEST_F(ZipReaderTest, UnknownMethodIsDamageAtThatEntryOnly) {
    CraftedEntry e = Entry("m12.bin", "data", 12);
    e.payload = "data";
    Open({.entries = {e, Entry("ok.txt", "fine")}});
    EXPECT_EQ(ExtractCause(0), CZipException::badZipFile);
    EXPECT_FALSE(fs::exists(out() / "m12.bin"));
    EXPECT_TRUE(Extract(1));
    EXPECT_EQ(ReadFile(out() / "ok.txt"), "fine");
}

TEST_F(ZipReaderTest, LocalHeaderContradictingCentralIsDamage) {
    const std::vector<std::function<void(std::string&)>> patches = {
        [](std::string& h) { h[0] = 'X'; },          // signature
        [](std::string& h) { Put16(h, 6, 0x0002); }, // flag
        [](std::string& h) { Put16(h, 8, 0); },      // method
        [](std::string& h) { Put32(h, 14, 1); },     // CRC-32
        [](std::string& h) { Put32(h, 18, 1); },     // compressed size
        [](std::string& h) { Put32(h, 22, 1); },     // uncompressed size
        [](std::string& h) { Put16(h, 26, 4); },     // name length
    };
    CraftedArchive crafted;
    for (std::size_t i = 0; i < patches.size(); ++i) {
        std::string name = "e"; // appended: GCC 12 -O3 warns falsely on "e" + to_string
        name += std::to_string(i);
        name += ".txt";
        CraftedEntry e = Entry(name, "contents");
        e.patchLocal = patches[i];
        crafted.entries.push_back(e);
    }
    Open(crafted);
    for (std::size_t i = 0; i < patches.size(); ++i) {
        EXPECT_EQ(ExtractCause(static_cast<unsigned>(i)), CZipException::badZipFile) << i;
    }
    EXPECT_FALSE(fs::exists(out()));
}

// Entries that share bytes would let a small archive unpack to far more
// than it holds; so would sizes beyond the unpack limit.
TEST_F(ZipReaderTest, OverlappingEntriesAndOversizedArchivesAreRefused) {
    // 200 central records pointing at one deflated entry of 16 MiB of zeros.
    {
        CraftedArchive bomb{
            .entries = {Entry("pallorwind-win", "#!/bin/sh\n"), ZerosEntry("zeros", 16 << 20)}};
        const auto zerosAt = static_cast<std::uint32_t>(30 + 14 + RawDeflate("#!/bin/sh\n").size());
        for (int i = 0; i < 200; ++i) {
            CraftedEntry copy = bomb.entries[1];
            copy.centralOnly = true;
            copy.offset = zerosAt;
            bomb.entries.push_back(copy);
        }
        EXPECT_EQ(OpenCause(Build(bomb)), CZipException::badZipFile);
        EXPECT_TRUE(zip.IsClosed());
    }
    // A record pointing at a local header quoted inside another entry's data.
    {
        const std::string inner = Build({.entries = {Entry("inner", "data", 0)}});
        CraftedEntry outer = Entry("outer", inner.substr(0, 30 + 5 + 4) + "tail", 0);
        CraftedEntry quoted = Entry("inner", "data", 0);
        quoted.centralOnly = true;
        quoted.offset = 30 + 5;
        EXPECT_EQ(OpenCause(Build({.entries = {outer, quoted}})), CZipException::badZipFile);
    }
    // A local extra field that pushes an entry's data into the next entry,
    // or into the directory: refused when the entry is opened.
    {
        CraftedEntry pushed = Entry("pushed", "pushed data", 0);
        pushed.patchLocal = [](std::string& h) { Put16(h, 28, 8); };
        CraftedEntry last = pushed;
        last.name = "last";
        Open({.entries = {pushed, Entry("next", "next"), last}});
        EXPECT_EQ(ExtractCause(0), CZipException::badZipFile);
        EXPECT_TRUE(Extract(1));
        EXPECT_EQ(ExtractCause(2), CZipException::badZipFile);
        EXPECT_FALSE(fs::exists(out() / "pushed"));
        zip.Close();
    }
    // Declared sizes adding up to more than the limit: refused as a whole;
    // up to the limit, opened; with no limit set, opened too.
    CraftedEntry half = Entry("half", "h", 0);
    half.payload = "h";
    half.uncomprSize = 128u << 20;
    CraftedEntry other = half;
    other.name = "other";
    EXPECT_EQ(OpenCause(Build({.entries = {half, other}})), 0);
    zip.Close();
    other.uncomprSize = (128u << 20) + 1;
    EXPECT_EQ(OpenCause(Build({.entries = {half, other}})), CZipException::generic);
    CZipArchive unlimited;
    unlimited.OpenReadOnly(archivePath().string());
    EXPECT_EQ(unlimited.EntryCount(), 2);
}

// A write that takes nothing fails the entry instead of being tried for ever
// (the test binary routes write() through g_writesTakeNothing).
TEST_F(ZipReaderTest, WriteThatTakesNothingIsAFileError) {
    Open({.entries = {Entry("f.txt", SampleData(5000))}});
    g_writeCalls = 0;
    g_writesTakeNothing = true;
    EXPECT_THROW(Extract(0), CFileError);
    g_writesTakeNothing = false;
    EXPECT_EQ(g_writeCalls, 1);
    EXPECT_TRUE(Extract(0));
}

// --- finding the directory ----------------------------------------------

TEST_F(ZipReaderTest, PrependedStubShiftsEveryOffset) {
    Open({.prefix = "MZ" + SampleData(5000),
          .entries = {Entry("a.txt", "aaa"), Entry("b", "bb", 0)}});
    EXPECT_EQ(zip.EntryCount(), 2);
    EXPECT_TRUE(Extract(0));
    EXPECT_TRUE(Extract(1));
    EXPECT_EQ(ReadFile(out() / "b"), "bb");
}

TEST_F(ZipReaderTest, LongestCommentIsFoundOneMoreByteIsNot) {
    CraftedArchive crafted{.entries = {Entry("a.txt", "aaa")}, .comment = std::string(65535, 'c')};
    EXPECT_EQ(OpenCause(Build(crafted)), 0);
    EXPECT_EQ(zip.EntryCount(), 1);
    EXPECT_TRUE(Extract(0));
    zip.Close();
    crafted.trailing = "j";
    EXPECT_EQ(OpenCause(Build(crafted)), CZipException::cdirNotFound);
    EXPECT_TRUE(zip.IsClosed());
}

TEST_F(ZipReaderTest, SignatureAcrossSearchWindowsIsFound) {
    // Comment sizes that put the end record's signature at the start of the
    // first 32 KiB search window, across its boundary, and just before it.
    for (std::size_t commentSize = 32745; commentSize <= 32750; ++commentSize) {
        const std::string bytes =
            Build({.entries = {Entry("a", "a")}, .comment = std::string(commentSize, 'c')});
        WriteFile(archivePath(), bytes);
        CZipArchive other;
        EXPECT_NO_THROW(other.OpenReadOnly(archivePath().string())) << commentSize;
        EXPECT_EQ(other.EntryCount(), 1) << commentSize;
    }
}

TEST_F(ZipReaderTest, NotAnArchive) {
    EXPECT_EQ(OpenCause(""), CZipException::cdirNotFound);
    EXPECT_EQ(OpenCause("<html><body>404 Not Found</body></html>\n"), CZipException::cdirNotFound);
    const std::string whole = Build({.entries = {Entry("a.txt", SampleData(3000))}});
    EXPECT_EQ(OpenCause(whole.substr(0, whole.size() - 30)), CZipException::cdirNotFound);
    EXPECT_THROW(zip.OpenReadOnly((dir / "missing.zip").string()), CFileError);
}

TEST_F(ZipReaderTest, EmptyArchiveAndInconsistentCounts) {
    EXPECT_EQ(OpenCause(Build({})), 0);
    EXPECT_EQ(zip.EntryCount(), 0);
    EXPECT_FALSE(Extract(0));
    zip.Close();
    // No entries but a central directory of 10 bytes.
    EXPECT_EQ(OpenCause(Build({.prefix = std::string(10, 'z'), .totalEntries = 0, .cdSize = 10})),
              CZipException::badZipFile);
    // Entries but a central directory of size 0.
    EXPECT_EQ(OpenCause(Build({.entries = {Entry("a", "a")}, .cdSize = 0})),
              CZipException::badZipFile);
    // More entries announced than there are records.
    EXPECT_EQ(OpenCause(Build({.entries = {Entry("a", "a")}, .totalEntries = 3})),
              CZipException::badZipFile);
    // Directory reaching past the end record.
    EXPECT_EQ(OpenCause(Build({.entries = {Entry("a", "a")}, .cdSize = 5000})),
              CZipException::badZipFile);
}

TEST_F(ZipReaderTest, SpannedArchiveIsRejected) {
    EXPECT_EQ(OpenCause(Build({.entries = {Entry("a", "a")}, .thisDisk = 1, .diskWithCd = 1})),
              CZipException::noCallback);
    EXPECT_EQ(OpenCause(Build({.entries = {Entry("a", "a")}, .diskWithCd = 2})),
              CZipException::noCallback);
}

// --- names and paths ----------------------------------------------------

TEST_F(ZipReaderTest, NamesAreMappedInsideTheTargetFolder) {
    Open({.entries = {
              Entry("sub/dir/file.txt", "1"), Entry("back\\slash\\file.txt", "2"),
              Entry("C:\\drive\\file.txt", "3"), Entry("/abs/file.txt", "4"),
              Entry("//twice/./file.txt", "5"),
              Entry("\x81"
                    "ber.txt",
                    "6"), // code page 437: u with diaeresis
          }});
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_TRUE(Extract(i)) << i;
    }
    EXPECT_EQ(ReadFile(out() / "sub/dir/file.txt"), "1");
    EXPECT_EQ(ReadFile(out() / "back/slash/file.txt"), "2");
    EXPECT_EQ(ReadFile(out() / "drive/file.txt"), "3");
    EXPECT_EQ(ReadFile(out() / "abs/file.txt"), "4");
    EXPECT_EQ(ReadFile(out() / "twice/file.txt"), "5");
    EXPECT_EQ(ReadFile(out() / "\xc3\xbc"
                               "ber.txt"),
              "6");
}

TEST_F(ZipReaderTest, Utf8FlaggedNamesAreKept) {
    CraftedEntry utf8 = Entry("caf\xc3\xa9.txt", "7");
    utf8.flag = 0x0800;
    CraftedEntry oem = Entry("caf\x82.txt", "8"); // code page 437: e acute
    Open({.entries = {utf8, oem}});
    EXPECT_TRUE(Extract(0));
    EXPECT_TRUE(Extract(1));
    EXPECT_EQ(ReadFile(out() / "caf\xc3\xa9.txt"), "8"); // the later entry of the same name wins
}

TEST_F(ZipReaderTest, WithoutKeepFoldersOnlyTheFileNameIsUsed) {
    Open({.entries = {Entry("sub/dir/file.txt", "1"), Entry("sub/dir/", "", 0)}});
    EXPECT_TRUE(zip.ExtractEntry(0, out().string(), false));
    EXPECT_TRUE(zip.ExtractEntry(1, out().string(), false));
    EXPECT_EQ(Tree(out()), (std::vector<std::pair<std::string, long long>>{{"file.txt", 1}}));
}

TEST_F(ZipReaderTest, NamesClimbingOutAreRefused) {
    const std::vector<std::string> evil = {"../evil.txt",
                                           "a/../../evil.txt",
                                           "..\\evil.txt",
                                           "C:..\\evil.txt",
                                           "/../evil.txt",
                                           "ok/..",
                                           ".."};
    CraftedArchive crafted;
    for (const std::string& name : evil) {
        crafted.entries.push_back(Entry(name, "evil"));
    }
    crafted.entries.push_back(Entry("good.txt", "good"));
    crafted.entries.push_back(Entry("../evil-dir/", "", 0));
    fs::create_directories(out() / "deep");
    Open(crafted);
    const std::string target = (out() / "deep").string();
    for (unsigned i = 0; i < evil.size(); ++i) {
        EXPECT_FALSE(zip.ExtractEntry(static_cast<std::uint16_t>(i), target)) << evil[i];
    }
    EXPECT_TRUE(zip.ExtractEntry(static_cast<std::uint16_t>(evil.size()), target));
    EXPECT_FALSE(zip.ExtractEntry(static_cast<std::uint16_t>(evil.size() + 1), target));
    EXPECT_EQ(Tree(dir.path()),
              (std::vector<std::pair<std::string, long long>>{
                  {"archive.zip", static_cast<long long>(fs::file_size(archivePath()))},
                  {"out", -1},
                  {"out/deep", -1},
                  {"out/deep/good.txt", 4}}));
}

TEST_F(ZipReaderTest, NameCutAtNulByte) {
    Open({.entries = {Entry(std::string("..\0/x", 5), "evil"),
                      Entry(std::string("ok\0/..", 6), "ok")}});
    EXPECT_FALSE(Extract(0));
    EXPECT_TRUE(Extract(1));
    EXPECT_EQ(ReadFile(out() / "ok"), "ok");
}

TEST_F(ZipReaderTest, RelativePathRules) {
    EXPECT_EQ(CZipArchive::RelativePath("a/b/c.txt", true), "a/b/c.txt");
    EXPECT_EQ(CZipArchive::RelativePath("a/b/c.txt", false), "c.txt");
    EXPECT_EQ(CZipArchive::RelativePath("d:/x", true), "x");
    EXPECT_EQ(CZipArchive::RelativePath("1:/x", true), "1:/x"); // not a drive
    EXPECT_EQ(CZipArchive::RelativePath("a/", true), "a");
    EXPECT_EQ(CZipArchive::RelativePath("a/", false), "");
    EXPECT_EQ(CZipArchive::RelativePath("..foo/bar..", true), "..foo/bar..");
    EXPECT_FALSE(CZipArchive::RelativePath("a/../b", true).has_value());
    EXPECT_FALSE(CZipArchive::RelativePath("../b", false).has_value());
}

// --- folders, duplicates, attributes, times -------------------------------

TEST_F(ZipReaderTest, FolderEntriesByAttributeOrTrailingSeparator) {
    CraftedEntry byAttr = Entry("attr-folder", "", 0);
    byAttr.externalAttr = 0x10;
    Open({.entries = {byAttr, Entry("slash-folder/", "", 0), Entry("back-folder\\", "", 0)}});
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_TRUE(Extract(i));
    }
    EXPECT_TRUE(fs::is_directory(out() / "attr-folder"));
    EXPECT_TRUE(fs::is_directory(out() / "slash-folder"));
    EXPECT_TRUE(fs::is_directory(out() / "back-folder"));
}

TEST_F(ZipReaderTest, LaterEntryOfTheSameNameWins) {
    Open({.entries = {Entry("same.txt", "first, longer"), Entry("same.txt", "second", 0)}});
    EXPECT_TRUE(Extract(0));
    EXPECT_TRUE(Extract(1));
    EXPECT_EQ(ReadFile(out() / "same.txt"), "second");
}

TEST_F(ZipReaderTest, UnixPermissionsAndReadOnlyAttribute) {
    CraftedEntry exe = Entry("bin/tool", "#!/bin/sh\n");
    exe.madeBy = 0x031E; // Unix
    exe.externalAttr = 0100755u << 16;
    CraftedEntry setuid = Entry("bin/setuid", "x");
    setuid.madeBy = 0x031E;
    setuid.externalAttr = 0104755u << 16;
    CraftedEntry link = Entry("bin/link", "target");
    link.madeBy = 0x031E;
    link.externalAttr = 0120777u << 16;
    CraftedEntry readOnly = Entry("ro.txt", "ro");
    readOnly.externalAttr = 0x01;
    CraftedEntry closedDir = Entry("closed/", "", 0);
    closedDir.madeBy = 0x031E;
    closedDir.externalAttr = (040000u << 16) | 0x10; // no permissions at all
    CraftedEntry inside = Entry("closed/inside.txt", "in");
    Open({.entries = {exe, setuid, link, readOnly, closedDir, inside}});
    for (unsigned i = 0; i < 6; ++i) {
        EXPECT_TRUE(Extract(i)) << i;
    }
    auto mode = [&](const char* name) {
        struct stat st {};
        EXPECT_EQ(::lstat((out() / name).c_str(), &st), 0) << name;
        return st.st_mode;
    };
    EXPECT_EQ(mode("bin/tool") & 07777, 0755u);
    EXPECT_EQ(mode("bin/setuid") & 07777, 0755u);
    EXPECT_TRUE(S_ISREG(mode("bin/link")));
    EXPECT_EQ(mode("ro.txt") & 0222, 0u);
    EXPECT_EQ(mode("closed") & 0700, 0700u);
    EXPECT_EQ(ReadFile(out() / "closed/inside.txt"), "in");
}

TEST_F(ZipReaderTest, ModificationTimeIsLocalDosTime) {
    Open({.entries = {Entry("t.txt", "t")}});
    ASSERT_TRUE(Extract(0));
    std::tm tm{};
    tm.tm_year = 2021 - 1900;
    tm.tm_mon = 5;
    tm.tm_mday = 15;
    tm.tm_hour = 12;
    tm.tm_min = 34;
    tm.tm_sec = 56;
    tm.tm_isdst = -1;
    struct stat st {};
    ASSERT_EQ(::stat((out() / "t.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, std::mktime(&tm));
}

TEST_F(ZipReaderTest, FileOrFolderThatCannotBeCreated) {
    Open({.entries = {Entry("taken", "x"), Entry("after.txt", "after"), Entry("file/", "", 0)}});
    fs::create_directories(out() / "taken");
    WriteFile(out() / "file", "in the way");
    EXPECT_FALSE(Extract(2));
    try {
        Extract(0);
        ADD_FAILURE() << "no file error";
    } catch (const CFileError& e) {
        EXPECT_EQ(e.m_szPath, (out() / "taken").string());
    }
    EXPECT_TRUE(Extract(1));
}

// Links already in the target folder are neither followed nor removed: an
// entry whose path meets one fails with a file error naming that path, and
// the other entries are extracted.
TEST_F(ZipReaderTest, NothingIsWrittenThroughLinksInTheTargetFolder) {
    const fs::path outside = dir / "outside";
    fs::create_directories(outside);
    WriteFile(outside / "victim.txt", "original");
    fs::permissions(outside, fs::perms::owner_all);
    fs::create_directories(out());
    fs::create_directory_symlink("../outside", out() / "rel");
    fs::create_directory_symlink(outside, out() / "abs");
    fs::create_symlink("../nowhere", out() / "dangling-dir");
    fs::create_symlink(outside / "victim.txt", out() / "file-link");
    fs::create_symlink(outside / "created.txt", out() / "dangling");
    fs::create_hard_link(outside / "victim.txt", out() / "hard");

    CraftedEntry folderLink = Entry("abs/", "", 0);
    folderLink.madeBy = 0x031E; // Unix
    folderLink.externalAttr = (040755u << 16) | 0x10;
    const std::vector<std::string> blocked = {"rel/planted.txt",
                                              "abs/planted.txt",
                                              "dangling-dir/x",
                                              "rel/deeper/x.txt",
                                              "file-link",
                                              "dangling",
                                              "hard"};
    CraftedArchive crafted;
    for (const std::string& name : blocked) {
        crafted.entries.push_back(Entry(name, "planted"));
    }
    crafted.entries.push_back(folderLink);
    crafted.entries.push_back(Entry("inside/ok.txt", "ok"));
    crafted.entries.push_back(Entry("plain.txt", "plain", 0));
    Open(crafted);

    auto fileErrorPath = [&](unsigned index) -> std::string {
        try {
            Extract(index);
        } catch (const CFileError& e) {
            return e.m_szPath;
        }
        return "no file error";
    };
    for (unsigned i = 0; i < blocked.size(); ++i) {
        EXPECT_EQ(fileErrorPath(i), (out() / blocked[i]).string());
    }
    EXPECT_EQ(fileErrorPath(7), (out() / "abs").string());
    EXPECT_TRUE(Extract(8));
    EXPECT_TRUE(Extract(9));

    EXPECT_EQ(Tree(outside), (std::vector<std::pair<std::string, long long>>{{"victim.txt", 8}}));
    EXPECT_EQ(ReadFile(outside / "victim.txt"), "original");
    EXPECT_EQ(fs::status(outside).permissions(), fs::perms::owner_all);
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    for (const char* link : {"rel", "abs", "dangling-dir", "file-link", "dangling"}) {
        EXPECT_TRUE(fs::is_symlink(out() / link)) << link;
    }
    EXPECT_EQ(ReadFile(out() / "inside/ok.txt"), "ok");
    EXPECT_EQ(ReadFile(out() / "plain.txt"), "plain");
}

TEST_F(ZipReaderTest, TargetFolderWithTrailingSeparatorsAndMissingParents) {
    Open({.entries = {Entry("f.txt", "f")}});
    EXPECT_TRUE(zip.ExtractEntry(0, (out() / "new/deeper").string() + "///"));
    EXPECT_EQ(ReadFile(out() / "new/deeper/f.txt"), "f");
    EXPECT_FALSE(zip.ExtractEntry(0, out().string(), true, 0));
}

// --- entry operations ----------------------------------------------------

TEST_F(ZipReaderTest, EntryOperationsKeepOneEntryOpen) {
    Open({.entries = {Entry("a", SampleData(50000)), Entry("b", "b")}});
    char buffer[1000];
    EXPECT_EQ(zip.EndEntry(nullptr), 0);
    EXPECT_EQ(zip.ReadEntryData(buffer, sizeof buffer), 0u);
    ASSERT_TRUE(zip.BeginEntry(0));
    EXPECT_FALSE(zip.BeginEntry(1));
    EXPECT_FALSE(zip.BeginEntry(2));
    EXPECT_EQ(zip.ReadEntryData(buffer, sizeof buffer), sizeof buffer);
    EXPECT_EQ(zip.EndEntry(nullptr), -1); // not read to its end
    ASSERT_TRUE(zip.BeginEntry(1));
    EXPECT_EQ(zip.ReadEntryData(buffer, sizeof buffer), 1u);
    EXPECT_EQ(zip.EndEntry(nullptr), 1);
}

TEST_F(ZipReaderTest, OpenTwiceKeepsTheFirstArchive) {
    Open({.entries = {Entry("a", "a")}});
    WriteFile(dir / "other.zip", Build({}));
    zip.OpenReadOnly((dir / "other.zip").string());
    EXPECT_EQ(zip.EntryCount(), 1);
}

} // namespace
