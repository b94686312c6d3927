#pragma once

#include "CZipAutoBuffer.h"

#include <cstddef>
#include <cstdint>
#include <zlib.h>

namespace pallorwind::zip {

// The decompression state of the entry open for reading. The reader's own:
// only its .cpp files include this header, so that zlib stays out of the
// headers its users include (CZipArchive holds it through a pointer).
class CZipInternalInfo {
public:
    static constexpr std::size_t kInputBufferSize = 16384;

    CZipInternalInfo();

    // Clears the counters and the stream state of the last entry.
    void Reset();

    z_stream m_stream;
    bool m_bStreamInit = false; // inflateInit2 succeeded and inflateEnd is due
    bool m_bStreamEnd = false;  // the deflate stream reported its end
    CZipAutoBuffer m_pBuffer;   // compressed input
    std::uint32_t m_uComprLeft = 0;
    std::uint32_t m_uUncomprLeft = 0;
    std::uint32_t m_uCrc32 = 0;
    std::uint64_t m_uDataStart = 0; // where the entry's compressed data starts in the file
};

} // namespace pallorwind::zip
