#include "CZipInternalInfo.h"

namespace pallorwind::zip {

CZipInternalInfo::CZipInternalInfo() {
    Reset();
}

void CZipInternalInfo::Reset() {
    m_stream = z_stream{};
    m_bStreamInit = false;
    m_bStreamEnd = false;
    m_uComprLeft = 0;
    m_uUncomprLeft = 0;
    m_uCrc32 = 0;
    m_uDataStart = 0;
}

} // namespace pallorwind::zip
