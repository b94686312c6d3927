#pragma once

#include "CZipAutoBuffer.h"
#include "CZipCentralDir.h"
#include "CZipFileHeader.h"
#include "CZipStorage.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pallorwind::zip {

class CZipInternalInfo;

// Reads a ZIP archive and extracts its entries into a folder.
//
// Errors are raised: CZipException for a damaged archive, a CRC mismatch or
// undecodable data, CFileError when a file cannot be opened, created or
// written. An error raised while an entry is open closes that entry, so the
// archive stays usable for the next one.
class CZipArchive {
public:
    enum FileOpened { nothing, extract };

    CZipArchive();
    CZipArchive(const CZipArchive&) = delete;
    CZipArchive& operator=(const CZipArchive&) = delete;
    virtual ~CZipArchive();

    static constexpr std::uint64_t kNoUnpackLimit = std::numeric_limits<std::uint64_t>::max();

    // The most that the entries of an archive may unpack to together, by
    // their recorded sizes; OpenReadOnly refuses a larger archive. No limit
    // until one is set.
    void SetUnpackLimit(std::uint64_t bytes) { m_uUnpackLimit = bytes; }

    // Opens the archive for reading and reads its directory. Does nothing
    // when an archive is already open. Entries that share bytes (two records
    // pointing at the same data, or one entry's data running into the next)
    // make the archive damaged, and one whose entries together would unpack
    // to more than the unpack limit is refused as a whole (cause 1).
    void OpenReadOnly(const std::string& path);
    void Close() noexcept;
    bool IsClosed() const { return !m_storage.IsOpen(); }

    std::uint16_t EntryCount() const;
    // A copy of an entry's central record; false for an invalid index.
    bool GetFileInfo(std::uint16_t index, CZipFileHeader& info) const;
    const std::string& GetArchivePath() const { return m_storage.GetFilePath(); }

    // Extracts one entry into folder (trailing separators allowed). With
    // keepFolders the entry's folder path is recreated below folder;
    // without, the file lands directly in it. bufferSize is the output
    // buffer's size and must be at least 1. True when the entry was written
    // completely and its times and attributes were set. An entry whose name
    // would leave the folder, an encrypted entry and an entry whose data
    // falls short give false. Nothing is written, created or changed through
    // a symbolic link below folder: an entry whose path meets one raises
    // CFileError naming that path, and the link stays as it is.
    bool ExtractEntry(std::uint16_t index, const std::string& folder, bool keepFolders = true,
                      std::size_t bufferSize = 65535);

    // The path, relative to the target folder, that an entry name is
    // extracted to: split at '/' and '\', drive and leading separators
    // dropped, "." and empty parts skipped. No value when the name has a ".."
    // part. Empty when nothing is left.
    static std::optional<std::string> RelativePath(const std::string& name, bool keepFolders);

    // Entry operations used by ExtractEntry.
    bool BeginEntry(std::uint16_t index);
    // Produces up to size bytes of the open entry's data; fewer only when
    // the entry's data is complete or ends early.
    std::size_t ReadEntryData(void* buffer, std::size_t size);
    // 1 on success, -1 when the entry's data fell short of its size, -2 when
    // the attributes cannot be set, 0 when no entry is open or the file
    // times cannot be set. A symbolic link at filePath is not followed.
    int EndEntry(const char* filePath);

private:
    // EndEntry for the written file open as fd; no file when withFile is
    // false, one whose times cannot be set when fd is negative.
    int FinishEntry(bool withFile, int fd);
    bool FillInput();
    void DrainStream();
    void ReadDataDescriptor();
    // Closes the open entry without checks; safe to call at any time.
    void AbandonEntry() noexcept;
    [[noreturn]] void ThrowError(int cause) const;

    static void* ZipAlloc(void* opaque, unsigned items, unsigned size);
    static void ZipFree(void* opaque, void* address);

    CZipStorage m_storage;
    CZipCentralDir m_centralDir;
    // The open entry's decompression state (zlib's, so kept out of sight).
    std::unique_ptr<CZipInternalInfo> m_info;
    CZipAutoBuffer m_pszPassword;
    FileOpened m_iFileOpened = nothing;
    std::vector<void*> m_list; // blocks zlib holds for the open entry
    std::uint64_t m_uUnpackLimit = kNoUnpackLimit;
};

} // namespace pallorwind::zip
