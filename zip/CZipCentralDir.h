#pragma once

#include "CZipAutoBuffer.h"
#include "CZipFileHeader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pallorwind::zip {

class CZipStorage;

// The archive's directory: the end-of-central-directory record and the
// central records it points to.
class CZipCentralDir {
public:
    static constexpr std::size_t kEndRecordSize = 22;
    static constexpr std::uint64_t kMaxCommentSize = 65535;
    static constexpr std::size_t kSearchBufferSize = 32768;

    // Finds and reads the end record, then every central record. Raises
    // CZipException: cause 18 when there is no end record, 10 when the
    // archive is damaged (entries whose local headers and data would overlap
    // each other or the directory among it), 12 for a spanned archive, 1
    // when the entries together would unpack to more than unpackLimit.
    void Read(CZipStorage& storage, std::uint64_t unpackLimit);
    void Clear();

    // End record fields.
    char m_szSignature[4] = {};
    std::uint16_t m_uThisDisk = 0;
    std::uint16_t m_uDiskWithCD = 0;
    std::uint16_t m_uDiskEntriesNo = 0;
    std::uint16_t m_uEntriesNumber = 0;
    std::uint32_t m_uSize = 0;
    std::uint32_t m_uOffset = 0;
    CZipAutoBuffer m_pszComment;

    std::uint64_t m_uCentrDirPos = 0;    // where the end record is
    std::uint64_t m_uBytesBeforeZip = 0; // bytes prepended to the archive
    bool m_bConvertAfterOpen = true;

    std::vector<std::unique_ptr<CZipFileHeader>> m_headers;
    CZipFileHeader* m_pOpenedFile = nullptr;
    CZipAutoBuffer m_pLocalExtraField;

private:
    std::uint64_t Locate(CZipStorage& storage);
    void ReadHeaders(CZipStorage& storage, std::uint64_t unpackLimit);
    // Gives every entry the end of the room its local header and data may
    // take (CZipFileHeader::m_uRoomEnd), and refuses entries that share
    // bytes or would together unpack to more than unpackLimit.
    void CheckLayout(const std::string& path, std::uint64_t unpackLimit);
};

} // namespace pallorwind::zip
