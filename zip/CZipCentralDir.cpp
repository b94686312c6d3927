#include "CZipCentralDir.h"

#include "CZipException.h"
#include "CZipStorage.h"
#include "ZipBytes.h"

#include <algorithm>
#include <cstring>

namespace pallorwind::zip {

using ZipBytes::Get16;
using ZipBytes::Get32;

void CZipCentralDir::Clear() {
    m_pOpenedFile = nullptr;
    m_headers.clear();
    m_pLocalExtraField.Release();
    m_pszComment.Release();
    m_uThisDisk = m_uDiskWithCD = m_uDiskEntriesNo = m_uEntriesNumber = 0;
    m_uSize = m_uOffset = 0;
    m_uCentrDirPos = m_uBytesBeforeZip = 0;
}

// Searches backwards from the end of the file for the end record's signature,
// in windows of kSearchBufferSize bytes that overlap by 3 bytes, no further
// than the end record plus the longest possible comment.
std::uint64_t CZipCentralDir::Locate(CZipStorage& storage) {
    const std::string& path = storage.GetFilePath();
    const std::uint64_t length = storage.GetLength();
    const std::uint64_t span = std::min<std::uint64_t>(length, kEndRecordSize + kMaxCommentSize);
    if (span == 0) {
        CZipException::Throw(CZipException::cdirNotFound, path);
    }
    const std::uint64_t lowest = length - span;
    CZipAutoBuffer window(kSearchBufferSize);
    std::uint64_t windowEnd = length;
    for (;;) {
        const std::uint64_t windowStart =
            windowEnd - lowest > kSearchBufferSize ? windowEnd - kSearchBufferSize : lowest;
        const auto windowSize = static_cast<std::size_t>(windowEnd - windowStart);
        storage.Seek(static_cast<std::int64_t>(windowStart));
        if (storage.Read(window.GetBuffer(), windowSize) != windowSize) {
            CZipException::Throw(CZipException::badZipFile, path);
        }
        for (std::int64_t i = static_cast<std::int64_t>(windowSize) - 4; i >= 0; --i) {
            if (ZipBytes::IsSignature(window.GetBuffer() + i, 5, 6)) {
                return windowStart + static_cast<std::uint64_t>(i);
            }
        }
        if (windowStart == lowest) {
            break;
        }
        windowEnd = windowStart + 3;
    }
    CZipException::Throw(CZipException::cdirNotFound, path);
}

void CZipCentralDir::Read(CZipStorage& storage, std::uint64_t unpackLimit) {
    const std::string& path = storage.GetFilePath();
    Clear();
    m_uCentrDirPos = Locate(storage);

    char record[kEndRecordSize];
    storage.Seek(static_cast<std::int64_t>(m_uCentrDirPos));
    if (storage.Read(record, kEndRecordSize) != kEndRecordSize) {
        CZipException::Throw(CZipException::badZipFile, path);
    }
    std::memcpy(m_szSignature, record, 4);
    m_uThisDisk = Get16(record + 4);
    m_uDiskWithCD = Get16(record + 6);
    m_uDiskEntriesNo = Get16(record + 8);
    m_uEntriesNumber = Get16(record + 10);
    m_uSize = Get32(record + 12);
    m_uOffset = Get32(record + 16);
    const std::uint16_t commentLength = Get16(record + 20);

    // Spanned archives are not read: reading one volume as if it were the
    // whole archive would give wrong results.
    if (m_uThisDisk != 0 || m_uDiskWithCD != 0) {
        CZipException::Throw(CZipException::noCallback, path);
    }
    if (m_uCentrDirPos < static_cast<std::uint64_t>(m_uOffset) + m_uSize) {
        CZipException::Throw(CZipException::badZipFile, path);
    }
    m_pszComment.Allocate(commentLength);
    if (commentLength != 0 &&
        storage.Read(m_pszComment.GetBuffer(), commentLength) != commentLength) {
        CZipException::Throw(CZipException::badZipFile, path);
    }
    m_uBytesBeforeZip = m_uCentrDirPos - m_uOffset - m_uSize;
    if ((m_uSize == 0) != (m_uEntriesNumber == 0)) {
        CZipException::Throw(CZipException::badZipFile, path);
    }
    if (m_uSize != 0) {
        ReadHeaders(storage, unpackLimit);
    }
}

void CZipCentralDir::ReadHeaders(CZipStorage& storage, std::uint64_t unpackLimit) {
    storage.Seek(static_cast<std::int64_t>(m_uOffset + m_uBytesBeforeZip));
    m_headers.clear();
    m_headers.reserve(m_uEntriesNumber);
    for (unsigned i = 0; i < m_uEntriesNumber; ++i) {
        auto header = std::make_unique<CZipFileHeader>();
        if (!header->ReadCentral(storage)) {
            CZipException::Throw(CZipException::badZipFile, storage.GetFilePath());
        }
        if (m_bConvertAfterOpen) {
            header->ConvertFileName();
        }
        m_headers.push_back(std::move(header));
    }
    CheckLayout(storage.GetFilePath(), unpackLimit);
}

// Each entry takes at least its local header's fixed part, its name, its
// compressed data and, when it has one, a data descriptor; entries are laid
// out one after the other before the directory. Two records that point at
// the same or overlapping bytes would let a small archive unpack to far more
// than it holds, so they make the archive damaged. The local extra field's
// length is only known when an entry is opened; BeginEntry checks then that
// the entry still ends within its room. The sizes declared must also add up
// to no more than the caller's limit; no entry unpacks to more than it
// declares.
void CZipCentralDir::CheckLayout(const std::string& path, std::uint64_t unpackLimit) {
    std::vector<CZipFileHeader*> byOffset;
    byOffset.reserve(m_headers.size());
    for (const auto& header : m_headers) {
        byOffset.push_back(header.get());
    }
    std::stable_sort(byOffset.begin(), byOffset.end(),
                     [](const CZipFileHeader* a, const CZipFileHeader* b) {
                         return a->m_uOffset < b->m_uOffset;
                     });
    for (std::size_t i = 0; i < byOffset.size(); ++i) {
        CZipFileHeader& header = *byOffset[i];
        const std::uint64_t roomEnd =
            i + 1 < byOffset.size() ? byOffset[i + 1]->m_uOffset : std::uint64_t(m_uOffset);
        if (header.m_uOffset + header.LeastSpan() > roomEnd) {
            CZipException::Throw(CZipException::badZipFile, path);
        }
        header.m_uRoomEnd = roomEnd;
    }
    std::uint64_t total = 0;
    for (const auto& header : m_headers) {
        total += header->m_uUncomprSize;
    }
    if (total > unpackLimit) {
        CZipException::Throw(CZipException::generic, path);
    }
}

} // namespace pallorwind::zip
