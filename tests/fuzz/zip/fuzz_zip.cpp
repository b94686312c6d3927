// Opens an arbitrary archive and extracts every entry into a scratch folder,
// the way the updater does. Any crash, leak or hang is a finding; so is a
// file written anywhere but inside the scratch folder.

#include "CFileError.h"
#include "CZipArchive.h"
#include "CZipException.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

using namespace pallorwind::win;

namespace {

fs::path g_base;    // private folder holding only the archive and the scratch folder
fs::path g_archive; // g_base/archive.zip
fs::path g_out;     // g_base/out: the target of every extraction

void CheckNothingEscaped() {
    for (const auto& item : fs::directory_iterator(g_base)) {
        if (item.path() != g_archive && item.path() != g_out) {
            std::fprintf(stderr, "written outside the scratch folder: %s\n", item.path().c_str());
            std::abort();
        }
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
    // The updater's settings for most inputs; a tiny buffer and flat
    // extraction for some, chosen by the input's length.
    const bool keepFolders = (size & 2) == 0;
    const std::size_t bufferSize = (size & 1) != 0 ? 65535 : 127;
    try {
        CZipArchive zip;
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
