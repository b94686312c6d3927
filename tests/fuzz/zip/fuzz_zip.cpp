// Opens an arbitrary archive and extracts every entry into a scratch folder
// with the updater's reader (the updater itself extracts only its executable,
// the same way). Any crash, leak or hang is a finding; so is a
// file written anywhere but inside the scratch folder. The scratch folder
// starts with links planted in it (to a folder beside it, to a file there,
// dangling, and a hard link), and nothing may reach through them.

#include "win/update/UpdateLimits.h"
#include "zip/CFileError.h"
#include "zip/CZipArchive.h"
#include "zip/CZipException.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

using namespace pallorwind::zip;

namespace {

fs::path g_base;    // private folder holding only the archive and the scratch folder
fs::path g_archive; // g_base/archive.zip
fs::path g_out;     // g_base/out: the target of every extraction
fs::path g_victim;  // g_base/victim: what the planted links lead to

constexpr char kVictimText[] = "must stay as it is\n";
constexpr fs::perms kVictimFolderPerms = fs::perms::owner_all;
constexpr fs::perms kVictimFilePerms = fs::perms::owner_read | fs::perms::owner_write;

void Fail(const char* what, const fs::path& path) {
    std::fprintf(stderr, "%s: %s\n", what, path.c_str());
    std::abort();
}

void PlantLinks() {
    fs::create_directory(g_out);
    fs::create_directory_symlink("../victim", g_out / "rel");
    fs::create_directory_symlink(g_victim, g_out / "abs");
    fs::create_symlink("../gone", g_out / "gone");
    fs::create_symlink(g_victim / "file.txt", g_out / "file");
    fs::create_hard_link(g_victim / "file.txt", g_out / "hard");
}

void CheckNothingEscaped() {
    for (const auto& item : fs::directory_iterator(g_base)) {
        if (item.path() != g_archive && item.path() != g_out && item.path() != g_victim) {
            Fail("written outside the scratch folder", item.path());
        }
    }
    for (const auto& item : fs::directory_iterator(g_victim)) {
        if (item.path().filename() != "file.txt") {
            Fail("written through a link", item.path());
        }
    }
    std::ifstream in(g_victim / "file.txt", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text != kVictimText ||
        fs::status(g_victim / "file.txt").permissions() != kVictimFilePerms) {
        Fail("changed through a link", g_victim / "file.txt");
    }
    if (fs::status(g_victim).permissions() != kVictimFolderPerms) {
        Fail("mode changed through a link", g_victim);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = (fs::temp_directory_path() / "pallorwind-fuzz-zip-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_base = pattern;
    g_archive = g_base / "archive.zip";
    g_out = g_base / "out";
    g_victim = g_base / "victim";
    fs::create_directory(g_victim);
    std::ofstream(g_victim / "file.txt", std::ios::binary) << kVictimText;
    fs::permissions(g_victim / "file.txt", kVictimFilePerms);
    fs::permissions(g_victim, kVictimFolderPerms);
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(g_base, ec);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream file(g_archive, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // The updater's settings (its buffer, its unpack limit) for most inputs;
    // a tiny buffer and flat extraction for some, chosen by the input's
    // length.
    const bool keepFolders = (size & 2) == 0;
    const std::size_t bufferSize = (size & 1) != 0 ? 65535 : 127;
    PlantLinks();
    try {
        CZipArchive zip;
        zip.SetUnpackLimit(pallorwind::win::kUpdateSizeLimit);
        zip.OpenReadOnly(g_archive.string());
        for (unsigned i = 0; i < zip.EntryCount(); ++i) {
            try {
                zip.ExtractEntry(static_cast<std::uint16_t>(i), g_out.string(), keepFolders,
                                 bufferSize);
            } catch (const CZipException&) {
            } catch (const CFileError&) {
            }
        }
    } catch (const CZipException&) {
    } catch (const CFileError&) {
    }
    CheckNothingEscaped();
    std::error_code ec;
    fs::remove_all(g_out, ec);
    if (ec) {
        std::fprintf(stderr, "cannot clean the scratch folder: %s\n", ec.message().c_str());
        std::abort();
    }
    return 0;
}
