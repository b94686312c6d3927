#pragma once

#include "CZipAutoBuffer.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pallorwind::zip {

class CZipStorage;

// One entry of the central directory.
class CZipFileHeader {
public:
    static constexpr std::size_t kCentralSize = 46; // fixed part of a central record
    static constexpr std::size_t kLocalSize = 30;   // fixed part of a local header

    static constexpr std::uint16_t kFlagEncrypted = 0x0001;
    static constexpr std::uint16_t kFlagDataDescriptor = 0x0008;
    static constexpr std::uint16_t kFlagUtf8 = 0x0800;
    static constexpr std::uint32_t kAttrDirectory = 0x10;

    // Reads one central record at the storage's position. False when fewer
    // than the fixed bytes could be read or the signature is wrong; the
    // variable parts short also give false.
    bool ReadCentral(CZipStorage& storage);
    // Checks a local header's fixed bytes against this entry.
    bool CheckLocal(const char* local) const;
    // Converts the stored name once after reading: from code page 437 unless
    // the UTF-8 flag is set, cut at a NUL byte, '\' turned into '/'.
    void ConvertFileName();

    std::string GetFileName() const;
    bool IsDirectory() const;
    bool IsEncrypted() const { return (m_uFlag & kFlagEncrypted) != 0; }
    bool IsDataDescriptor() const { return (m_uFlag & kFlagDataDescriptor) != 0; }
    int GetSystemCompatibility() const { return m_uVersionMadeBy >> 8; }
    // The bytes the entry takes at least from its local header on: the
    // header's fixed part, the name, the compressed data and the smallest
    // data descriptor. The local extra field comes on top.
    std::uint64_t LeastSpan() const;

    char m_szSignature[4] = {};
    std::uint16_t m_uVersionMadeBy = 0;
    std::uint16_t m_uVersionNeeded = 0;
    std::uint16_t m_uFlag = 0;
    std::uint16_t m_uMethod = 0;
    std::uint16_t m_uModTime = 0;
    std::uint16_t m_uModDate = 0;
    std::uint32_t m_uCrc32 = 0;
    std::uint32_t m_uComprSize = 0;
    std::uint32_t m_uUncomprSize = 0;
    std::uint16_t m_uDiskStart = 0;
    std::uint16_t m_uInternalAttr = 0;
    std::uint32_t m_uExternalAttr = 0;
    std::uint32_t m_uOffset = 0;
    CZipAutoBuffer m_pExtraField;
    CZipAutoBuffer m_pszFileName;
    CZipAutoBuffer m_pszComment;
    // The name's length as stored in the archive, before conversion; the
    // local header must agree with it.
    std::uint16_t m_uNameLengthStored = 0;
    // Where the room of this entry ends: the next entry's local header or the
    // central directory, as an offset like m_uOffset. Set when the
    // directory is read.
    std::uint64_t m_uRoomEnd = 0;
};

} // namespace pallorwind::zip
