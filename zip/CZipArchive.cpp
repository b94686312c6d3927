#include "CZipArchive.h"

#include "CFileError.h"
#include "CZipBigFile.h"
#include "CZipException.h"
#include "CZipInternalInfo.h"
#include "ZipBytes.h"
#include "ZipFileSystem.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>

namespace pallorwind::zip {

namespace {

constexpr int kMethodStored = 0;
constexpr int kMethodDeflated = 8;
constexpr std::size_t kEncryptionHeaderSize = 12;

} // namespace

CZipArchive::CZipArchive() : m_info(std::make_unique<CZipInternalInfo>()) {
}

CZipArchive::~CZipArchive() {
    Close();
}

void CZipArchive::OpenReadOnly(const std::string& path) {
    if (!IsClosed()) {
        return;
    }
    m_storage.Open(path);
    try {
        m_centralDir.Read(m_storage, m_uUnpackLimit);
    } catch (...) {
        Close();
        throw;
    }
}

void CZipArchive::Close() noexcept {
    AbandonEntry();
    m_centralDir.Clear();
    m_storage.Close();
}

std::uint16_t CZipArchive::EntryCount() const {
    return static_cast<std::uint16_t>(m_centralDir.m_headers.size());
}

bool CZipArchive::GetFileInfo(std::uint16_t index, CZipFileHeader& info) const {
    if (index >= m_centralDir.m_headers.size()) {
        return false;
    }
    info = *m_centralDir.m_headers[index];
    return true;
}

std::optional<std::string> CZipArchive::RelativePath(const std::string& name, bool keepFolders) {
    std::string_view rest = name;
    // A drive ("C:") is dropped.
    if (rest.size() >= 2 && rest[1] == ':' &&
        ((rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z'))) {
        rest.remove_prefix(2);
    }
    std::vector<std::string_view> parts;
    std::string_view last; // the file name part, after the last separator
    while (true) {
        const std::size_t sep = rest.find_first_of("/\\");
        const std::string_view part = rest.substr(0, sep);
        if (part == "..") {
            return std::nullopt;
        }
        if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (sep == std::string_view::npos) {
            last = part;
            break;
        }
        rest.remove_prefix(sep + 1);
    }
    if (!keepFolders) {
        return last == "." ? std::string() : std::string(last);
    }
    std::string relative;
    for (std::string_view part : parts) {
        if (!relative.empty()) {
            relative += '/';
        }
        relative += part;
    }
    return relative;
}

bool CZipArchive::ExtractEntry(std::uint16_t index, const std::string& folder, bool keepFolders,
                               std::size_t bufferSize) {
    if (bufferSize == 0 || index >= m_centralDir.m_headers.size()) {
        return false;
    }
    const CZipFileHeader header = *m_centralDir.m_headers[index];
    const std::optional<std::string> relative = RelativePath(header.GetFileName(), keepFolders);
    if (!relative) {
        return false; // would leave the target folder
    }
    std::size_t baseLength = folder.size();
    while (baseLength > 1 && folder[baseLength - 1] == '/') {
        --baseLength;
    }
    const std::string base = folder.substr(0, baseLength);
    std::string target = base.empty() ? std::string(1, '.') : base;
    if (target.back() != '/') {
        target.push_back('/');
    }
    target.append(*relative);

    // Below the target folder every folder is opened from its parent, never
    // through a symbolic link (OpenFolderBelow), and the file is created in
    // the folder so opened.
    if (header.IsDirectory()) {
        if (relative->empty()) {
            return true; // the target folder itself: leave it as it is
        }
        const ZipFileSystem::Descriptor top = ZipFileSystem::OpenTargetFolder(base);
        const ZipFileSystem::Descriptor made =
            top.IsOpen() ? ZipFileSystem::OpenFolderBelow(top.Get(), *relative)
                         : ZipFileSystem::Descriptor();
        if (!made.IsOpen()) {
            if (errno == ELOOP) {
                throw CFileError("create", target, ELOOP);
            }
            // A folder that cannot be made (a file of that name is in the
            // way) is a failed entry, not a success.
            return false;
        }
        ZipFileSystem::ApplyAttributes(made.Get(), true, header.m_uVersionMadeBy,
                                       header.m_uExternalAttr);
        return true;
    }
    if (relative->empty()) {
        return false; // no file name to write to
    }
    if (!BeginEntry(index)) {
        return false;
    }
    try {
        const std::size_t slash = relative->rfind('/');
        const std::string parent =
            slash == std::string::npos ? std::string() : relative->substr(0, slash);
        const std::string name = relative->substr(slash == std::string::npos ? 0 : slash + 1);
        const ZipFileSystem::Descriptor top = ZipFileSystem::OpenTargetFolder(base);
        const ZipFileSystem::Descriptor into =
            top.IsOpen() ? ZipFileSystem::OpenFolderBelow(top.Get(), parent)
                         : ZipFileSystem::Descriptor();
        if (!into.IsOpen()) {
            const int error = errno;
            throw CFileError("create", target, error);
        }
        CZipBigFile file;
        file.Create(into.Get(), name, target);
        CZipAutoBuffer buffer(bufferSize);
        for (;;) {
            const std::size_t produced = ReadEntryData(buffer.GetBuffer(), bufferSize);
            if (produced != 0) {
                file.Write(buffer.GetBuffer(), produced);
            }
            if (produced < bufferSize) {
                break;
            }
        }
        // Times and attributes go on the open file, then it is closed.
        const bool complete = FinishEntry(true, file.GetDescriptor()) == 1;
        file.Close();
        return complete;
    } catch (...) {
        AbandonEntry();
        throw;
    }
}

bool CZipArchive::BeginEntry(std::uint16_t index) {
    if (index >= m_centralDir.m_headers.size() || m_iFileOpened != nothing) {
        return false;
    }
    try {
        m_info->Reset();
        m_info->m_pBuffer.Allocate(CZipInternalInfo::kInputBufferSize);
        CZipFileHeader* header = m_centralDir.m_headers[index].get();
        m_centralDir.m_pOpenedFile = header;

        char local[CZipFileHeader::kLocalSize];
        m_storage.Seek(
            static_cast<std::int64_t>(header->m_uOffset + m_centralDir.m_uBytesBeforeZip));
        if (m_storage.Read(local, sizeof local) != sizeof local || !header->CheckLocal(local)) {
            ThrowError(CZipException::badZipFile);
        }
        const std::uint16_t nameLength = ZipBytes::Get16(local + 26);
        const std::uint16_t extraLength = ZipBytes::Get16(local + 28);
        m_storage.Seek(nameLength, CZipBigFile::current);
        m_centralDir.m_pLocalExtraField.Allocate(extraLength);
        if (extraLength != 0 && m_storage.Read(m_centralDir.m_pLocalExtraField.GetBuffer(),
                                               extraLength) != extraLength) {
            ThrowError(CZipException::badZipFile);
        }
        m_info->m_uDataStart = m_storage.Seek(0, CZipBigFile::current);
        // With its local extra field, the entry must still end before the
        // next one begins.
        const std::uint64_t spanEnd = header->m_uOffset + header->LeastSpan() + extraLength;
        if (spanEnd > header->m_uRoomEnd) {
            ThrowError(CZipException::badZipFile);
        }

        if (header->IsEncrypted() && m_pszPassword.GetSize() == 0) {
            AbandonEntry();
            return false;
        }
        if (header->m_uMethod == kMethodDeflated) {
            m_info->m_stream.zalloc = &CZipArchive::ZipAlloc;
            m_info->m_stream.zfree = &CZipArchive::ZipFree;
            m_info->m_stream.opaque = this;
            const int err = inflateInit2(&m_info->m_stream, -MAX_WBITS);
            if (err != Z_OK) {
                ThrowError(CZipException::ZlibErrToCause(err));
            }
            m_info->m_bStreamInit = true;
        }
        m_info->m_uComprLeft = header->m_uComprSize;
        if (header->IsEncrypted()) {
            m_info->m_uComprLeft -=
                std::min<std::uint32_t>(m_info->m_uComprLeft, kEncryptionHeaderSize);
        }
        m_info->m_uUncomprLeft = header->m_uUncomprSize;
        m_info->m_uCrc32 = 0;
        m_iFileOpened = extract;
        return true;
    } catch (...) {
        AbandonEntry();
        throw;
    }
}

// Refills the input buffer from the entry's compressed data. False when no
// compressed bytes are left.
bool CZipArchive::FillInput() {
    if (m_info->m_uComprLeft == 0) {
        return false;
    }
    const auto count = static_cast<std::size_t>(
        std::min<std::uint32_t>(m_info->m_uComprLeft, CZipInternalInfo::kInputBufferSize));
    if (m_storage.Read(m_info->m_pBuffer.GetBuffer(), count) != count) {
        ThrowError(CZipException::badZipFile);
    }
    m_info->m_uComprLeft -= static_cast<std::uint32_t>(count);
    m_info->m_stream.next_in = reinterpret_cast<Bytef*>(m_info->m_pBuffer.GetBuffer());
    m_info->m_stream.avail_in = static_cast<uInt>(count);
    return true;
}

std::size_t CZipArchive::ReadEntryData(void* buffer, std::size_t size) {
    if (m_iFileOpened != extract || buffer == nullptr || size == 0) {
        return 0;
    }
    try {
        z_stream& stream = m_info->m_stream;
        auto* out = static_cast<Bytef*>(buffer);
        const std::size_t room = std::min<std::size_t>(size, m_info->m_uUncomprLeft);
        std::size_t produced = 0;
        if (m_centralDir.m_pOpenedFile->m_uMethod == kMethodStored) {
            // Stops when the data is complete or the compressed bytes run
            // out (an entry whose stored size is too small ends short).
            while (produced < room) {
                if (stream.avail_in == 0 && !FillInput()) {
                    break;
                }
                const std::size_t count = std::min<std::size_t>(room - produced, stream.avail_in);
                std::memcpy(out + produced, stream.next_in, count);
                stream.next_in += count;
                stream.avail_in -= static_cast<uInt>(count);
                produced += count;
            }
        } else {
            // The output room is always more than zero here, so every call
            // of inflate either makes progress or reports why it cannot.
            while (produced < room && !m_info->m_bStreamEnd) {
                if (stream.avail_in == 0) {
                    FillInput();
                }
                stream.next_out = out + produced;
                stream.avail_out = static_cast<uInt>(room - produced);
                const int err = inflate(&stream, Z_SYNC_FLUSH);
                produced = room - stream.avail_out;
                if (err == Z_STREAM_END) {
                    m_info->m_bStreamEnd = true;
                } else if (err != Z_OK) {
                    ThrowError(CZipException::ZlibErrToCause(err));
                }
            }
        }
        m_info->m_uCrc32 =
            static_cast<std::uint32_t>(crc32(m_info->m_uCrc32, out, static_cast<uInt>(produced)));
        m_info->m_uUncomprLeft -= static_cast<std::uint32_t>(produced);
        if (m_info->m_bStreamInit && m_info->m_uUncomprLeft == 0 && !m_info->m_bStreamEnd) {
            DrainStream();
        }
        return produced;
    } catch (...) {
        AbandonEntry();
        throw;
    }
}

// All the entry's bytes were produced: consume the rest of the deflate
// stream (its last block and end code). Output beyond the recorded size
// means the archive is damaged. Compressed data that ends without an end
// code is accepted here; the CRC check decides about the data.
void CZipArchive::DrainStream() {
    z_stream& stream = m_info->m_stream;
    Bytef scratch[64];
    while (!m_info->m_bStreamEnd) {
        if (stream.avail_in == 0 && !FillInput()) {
            return;
        }
        stream.next_out = scratch;
        stream.avail_out = sizeof scratch;
        const int err = inflate(&stream, Z_SYNC_FLUSH);
        if (stream.avail_out != sizeof scratch) {
            ThrowError(CZipException::badZipFile);
        }
        if (err == Z_STREAM_END) {
            m_info->m_bStreamEnd = true;
        } else if (err != Z_OK && !(err == Z_BUF_ERROR && stream.avail_in == 0)) {
            ThrowError(CZipException::ZlibErrToCause(err));
        }
    }
}

int CZipArchive::EndEntry(const char* filePath) {
    if (m_iFileOpened != extract) {
        return 0;
    }
    ZipFileSystem::Descriptor file;
    if (filePath != nullptr) {
        file = ZipFileSystem::Descriptor(
            ::open(filePath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    }
    return FinishEntry(filePath != nullptr, file.Get());
}

int CZipArchive::FinishEntry(bool withFile, int fd) {
    if (m_iFileOpened != extract) {
        return 0;
    }
    try {
        const CZipFileHeader& header = *m_centralDir.m_pOpenedFile;
        int result = 1;
        if (m_info->m_uUncomprLeft != 0) {
            result = -1;
        } else if (m_info->m_uCrc32 != header.m_uCrc32) {
            ThrowError(CZipException::badCrc);
        }
        if (m_info->m_bStreamInit) {
            inflateEnd(&m_info->m_stream);
            m_info->m_bStreamInit = false;
        }
        if (withFile) {
            if (fd < 0 || !ZipFileSystem::SetFileTime(fd, header.m_uModDate, header.m_uModTime)) {
                AbandonEntry();
                return 0;
            }
            if (!ZipFileSystem::ApplyAttributes(fd, false, header.m_uVersionMadeBy,
                                                header.m_uExternalAttr)) {
                result = -2;
            }
        }
        if (header.IsDataDescriptor()) {
            ReadDataDescriptor();
        }
        AbandonEntry();
        return result;
    } catch (...) {
        AbandonEntry();
        throw;
    }
}

// The data descriptor follows the compressed data, with or without its
// signature; it must repeat the central directory's CRC and sizes.
void CZipArchive::ReadDataDescriptor() {
    const CZipFileHeader& header = *m_centralDir.m_pOpenedFile;
    m_storage.Seek(static_cast<std::int64_t>(m_info->m_uDataStart + header.m_uComprSize));
    char record[16];
    std::size_t got = m_storage.Read(record, sizeof record);
    const char* fields = record;
    if (got >= 4 && ZipBytes::IsSignature(record, 7, 8)) {
        fields += 4;
        got -= 4;
    }
    if (got < 12 || ZipBytes::Get32(fields) != header.m_uCrc32 ||
        ZipBytes::Get32(fields + 4) != header.m_uComprSize ||
        ZipBytes::Get32(fields + 8) != header.m_uUncomprSize) {
        ThrowError(CZipException::badZipFile);
    }
}

void CZipArchive::AbandonEntry() noexcept {
    if (m_info->m_bStreamInit) {
        inflateEnd(&m_info->m_stream);
    }
    m_info->Reset();
    m_info->m_pBuffer.Release();
    m_centralDir.m_pOpenedFile = nullptr;
    m_iFileOpened = nothing;
    for (void* block : m_list) {
        std::free(block);
    }
    m_list.clear();
}

void CZipArchive::ThrowError(int cause) const {
    CZipException::Throw(cause, m_storage.GetFilePath());
}

void* CZipArchive::ZipAlloc(void* opaque, unsigned items, unsigned size) {
    auto* self = static_cast<CZipArchive*>(opaque);
    if (size != 0 && items > std::numeric_limits<std::size_t>::max() / size) {
        return nullptr;
    }
    void* block = std::malloc(static_cast<std::size_t>(items) * size);
    if (block == nullptr) {
        return nullptr;
    }
    try {
        self->m_list.push_back(block);
    } catch (...) {
        std::free(block);
        return nullptr;
    }
    return block;
}

void CZipArchive::ZipFree(void* opaque, void* address) {
    auto* self = static_cast<CZipArchive*>(opaque);
    auto it = std::find(self->m_list.begin(), self->m_list.end(), address);
    if (it != self->m_list.end()) {
        self->m_list.erase(it);
        std::free(address);
    }
}

} // namespace pallorwind::zip
