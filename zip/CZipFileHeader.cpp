#include "CZipFileHeader.h"

#include "CZipStorage.h"
#include "CodePage437.h"
#include "ZipBytes.h"

#include <cstring>

namespace pallorwind::zip {

using ZipBytes::Get16;
using ZipBytes::Get32;

namespace {

bool ReadBuffer(CZipStorage& storage, CZipAutoBuffer& buffer, std::size_t size) {
    buffer.Allocate(size);
    return size == 0 || storage.Read(buffer.GetBuffer(), size) == size;
}

} // namespace

bool CZipFileHeader::ReadCentral(CZipStorage& storage) {
    char record[kCentralSize];
    if (storage.Read(record, kCentralSize) != kCentralSize) {
        return false;
    }
    std::memcpy(m_szSignature, record, 4);
    if (!ZipBytes::IsSignature(record, 1, 2)) {
        return false;
    }
    m_uVersionMadeBy = Get16(record + 4);
    m_uVersionNeeded = Get16(record + 6);
    m_uFlag = Get16(record + 8);
    m_uMethod = Get16(record + 10);
    m_uModTime = Get16(record + 12);
    m_uModDate = Get16(record + 14);
    m_uCrc32 = Get32(record + 16);
    m_uComprSize = Get32(record + 20);
    m_uUncomprSize = Get32(record + 24);
    const std::uint16_t nameLength = Get16(record + 28);
    const std::uint16_t extraLength = Get16(record + 30);
    const std::uint16_t commentLength = Get16(record + 32);
    m_uDiskStart = Get16(record + 34);
    m_uInternalAttr = Get16(record + 36);
    m_uExternalAttr = Get32(record + 38);
    m_uOffset = Get32(record + 42);
    m_uNameLengthStored = nameLength;
    return ReadBuffer(storage, m_pszFileName, nameLength) &&
           ReadBuffer(storage, m_pExtraField, extraLength) &&
           ReadBuffer(storage, m_pszComment, commentLength);
}

bool CZipFileHeader::CheckLocal(const char* local) const {
    if (!ZipBytes::IsSignature(local, 3, 4)) {
        return false;
    }
    const std::uint16_t flag = Get16(local + 6);
    const std::uint16_t method = Get16(local + 8);
    if (flag != m_uFlag || method != m_uMethod || (method != 0 && method != 8)) {
        return false;
    }
    // The name is compared by its stored length: the central name may since
    // have been converted.
    if (Get16(local + 26) != m_uNameLengthStored) {
        return false;
    }
    if ((flag & kFlagDataDescriptor) == 0) {
        if (Get32(local + 14) != m_uCrc32 || Get32(local + 18) != m_uComprSize ||
            Get32(local + 22) != m_uUncomprSize) {
            return false;
        }
    }
    return true;
}

std::uint64_t CZipFileHeader::LeastSpan() const {
    constexpr std::uint64_t kDescriptorSize = 12; // without its optional signature
    return kLocalSize + m_uNameLengthStored + std::uint64_t(m_uComprSize) +
           (IsDataDescriptor() ? kDescriptorSize : 0);
}

void CZipFileHeader::ConvertFileName() {
    std::string name(m_pszFileName.GetBuffer() ? m_pszFileName.GetBuffer() : "",
                     m_pszFileName.GetSize());
    // A NUL byte ends the name, as it would for the system's file functions;
    // cutting it here keeps the path checks and the file name in agreement.
    if (auto nul = name.find('\0'); nul != std::string::npos) {
        name.resize(nul);
    }
    if ((m_uFlag & kFlagUtf8) == 0) {
        name = CodePage437ToUtf8(name);
    }
    for (char& c : name) {
        if (c == '\\') {
            c = '/';
        }
    }
    m_pszFileName.Allocate(name.size());
    if (!name.empty()) {
        std::memcpy(m_pszFileName.GetBuffer(), name.data(), name.size());
    }
}

std::string CZipFileHeader::GetFileName() const {
    if (m_pszFileName.GetSize() == 0) {
        return {};
    }
    return std::string(m_pszFileName.GetBuffer(), m_pszFileName.GetSize());
}

bool CZipFileHeader::IsDirectory() const {
    if ((m_uExternalAttr & kAttrDirectory) != 0) {
        return true;
    }
    // Many tools mark a folder only by a name ending in a separator.
    const std::size_t size = m_pszFileName.GetSize();
    if (size == 0) {
        return false;
    }
    const char last = m_pszFileName.GetBuffer()[size - 1];
    return last == '/' || last == '\\';
}

} // namespace pallorwind::zip
