// pallorwind-unzip: extracts an update archive the way the updater does, or
// lists its entries.

#include "platform/app/StandardOptions.h"
#include "win/update/UpdateLimits.h"
#include "zip/CFileError.h"
#include "zip/CZipArchive.h"
#include "zip/CZipException.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace pallorwind;
using namespace pallorwind::zip;
using pallorwind::win::kUpdateSizeLimit;

namespace {

constexpr std::size_t kOutputBufferSize = 65535;

const char kUsage[] =
    "usage: pallorwind-unzip ARCHIVE DESTDIR\n"
    "       pallorwind-unzip -l ARCHIVE\n"
    "       pallorwind-unzip --help | --version\n"
    "\n"
    "Extracts every entry of an update archive into DESTDIR (folders kept), exactly\n"
    "as the self-updater does, or lists the entries (-l).\n"
    "\n"
    "Exit status: 0 when every entry was extracted, 1 when some entry failed (one\n"
    "line each on standard error), 2 when the archive cannot be read or the\n"
    "command line is wrong.\n";

// -1 to go on, otherwise the exit code.
int Answer(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (const int code =
                platform::AnswerHelpOrVersion(arg, "pallorwind-unzip", kUsage, PALLORWIND_VERSION);
            code >= 0)
            return code;
        if (arg[0] == '-' && arg[1] != '\0' && std::strcmp(arg, "-l") != 0)
            return platform::UnknownArgument("pallorwind-unzip", arg);
    }
    return -1;
}

std::string Cause(const CZipException& e) {
    return "cause " + std::to_string(e.m_iCause) + " (" + CZipException::CauseText(e.m_iCause) +
           ")";
}

int List(CZipArchive& archive) {
    std::printf("%10s %10s %-8s %-16s %s\n", "size", "packed", "method", "modified", "name");
    for (unsigned i = 0; i < archive.EntryCount(); ++i) {
        CZipFileHeader info;
        archive.GetFileInfo(static_cast<std::uint16_t>(i), info);
        const char* method = info.m_uMethod == 0   ? "stored"
                             : info.m_uMethod == 8 ? "deflated"
                                                   : "other";
        std::printf("%10u %10u %-8s %04u-%02u-%02u %02u:%02u %s%s\n", info.m_uUncomprSize,
                    info.m_uComprSize, method, (info.m_uModDate >> 9) + 1980u,
                    (info.m_uModDate >> 5) & 15u, info.m_uModDate & 31u, info.m_uModTime >> 11,
                    (info.m_uModTime >> 5) & 63u, info.GetFileName().c_str(),
                    info.IsEncrypted() ? " (encrypted)" : "");
    }
    return 0;
}

int ExtractAll(CZipArchive& archive, const std::string& folder) {
    int failed = 0;
    for (unsigned i = 0; i < archive.EntryCount(); ++i) {
        const auto index = static_cast<std::uint16_t>(i);
        CZipFileHeader info;
        archive.GetFileInfo(index, info);
        const std::string name = info.GetFileName();
        std::string problem;
        try {
            if (!archive.ExtractEntry(index, folder, true, kOutputBufferSize)) {
                problem = "not extracted";
            }
        } catch (const CZipException& e) {
            problem = Cause(e);
        } catch (const CFileError& e) {
            problem = e.what();
        }
        if (!problem.empty()) {
            ++failed;
            std::fprintf(stderr, "pallorwind-unzip: entry %u \"%s\": %s\n", i, name.c_str(),
                         problem.c_str());
        }
    }
    return failed == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (const int code = Answer(argc, argv); code >= 0)
        return code;
    bool list = false;
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "-l") == 0) {
        list = true;
        ++arg;
    }
    if ((list && argc - arg != 1) || (!list && argc - arg != 2)) {
        std::fputs("pallorwind-unzip: expected ARCHIVE DESTDIR or -l ARCHIVE (see --help)\n",
                   stderr);
        return 2;
    }
    const std::string path = argv[arg];
    CZipArchive archive;
    archive.SetUnpackLimit(kUpdateSizeLimit);
    try {
        archive.OpenReadOnly(path);
        return list ? List(archive) : ExtractAll(archive, argv[arg + 1]);
    } catch (const CZipException& e) {
        std::fprintf(stderr, "pallorwind-unzip: %s: %s\n", path.c_str(), Cause(e).c_str());
    } catch (const CFileError& e) {
        std::fprintf(stderr, "pallorwind-unzip: %s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "pallorwind-unzip: %s: out of memory\n", path.c_str());
    }
    return 2;
}
