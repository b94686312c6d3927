#pragma once

#include "CZipBigFile.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pallorwind::zip {

// Access to the archive file. Only single-volume archives are read.
class CZipStorage {
public:
    enum VolumeMode { noSpan = 0 };

    void Open(const std::string& path);
    void Close() noexcept;
    bool IsOpen() const { return m_file.IsOpen(); }

    // Reads up to count bytes; fewer only at the end of the archive.
    std::size_t Read(void* buffer, std::size_t count) { return m_file.Read(buffer, count); }
    std::uint64_t Seek(std::int64_t offset, CZipBigFile::Origin origin = CZipBigFile::begin) {
        return m_file.Seek(offset, origin);
    }
    std::uint64_t GetLength() { return m_file.GetLength(); }
    const std::string& GetFilePath() const { return m_file.GetFilePath(); }

    CZipBigFile m_file;
    int m_iCurrentDisk = 0;
    VolumeMode m_iSpanMode = noSpan;
};

} // namespace pallorwind::zip
