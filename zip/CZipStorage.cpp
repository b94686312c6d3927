#include "CZipStorage.h"

namespace pallorwind::zip {

void CZipStorage::Open(const std::string& path) {
    m_file.OpenRead(path);
    m_iCurrentDisk = 0;
    m_iSpanMode = noSpan;
}

void CZipStorage::Close() noexcept {
    m_file.Abort();
}

} // namespace pallorwind::zip
