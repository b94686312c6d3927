#include "CZipAutoBuffer.h"

#include <cstring>
#include <utility>

namespace pallorwind::zip {

CZipAutoBuffer::CZipAutoBuffer(std::size_t size, bool zeroMemory) {
    Allocate(size, zeroMemory);
}

CZipAutoBuffer::CZipAutoBuffer(const CZipAutoBuffer& other) {
    *this = other;
}

CZipAutoBuffer::CZipAutoBuffer(CZipAutoBuffer&& other) noexcept
    : m_pBuffer(std::exchange(other.m_pBuffer, nullptr)), m_iSize(std::exchange(other.m_iSize, 0)) {
}

CZipAutoBuffer& CZipAutoBuffer::operator=(const CZipAutoBuffer& other) {
    if (this != &other) {
        Allocate(other.m_iSize);
        if (m_iSize != 0) {
            std::memcpy(m_pBuffer, other.m_pBuffer, m_iSize);
        }
    }
    return *this;
}

CZipAutoBuffer& CZipAutoBuffer::operator=(CZipAutoBuffer&& other) noexcept {
    if (this != &other) {
        Release();
        m_pBuffer = std::exchange(other.m_pBuffer, nullptr);
        m_iSize = std::exchange(other.m_iSize, 0);
    }
    return *this;
}

CZipAutoBuffer::~CZipAutoBuffer() {
    Release();
}

char* CZipAutoBuffer::Allocate(std::size_t size, bool zeroMemory) {
    if (size != m_iSize) {
        Release();
        if (size == 0) {
            return nullptr;
        }
        m_pBuffer = new char[size];
        m_iSize = size;
    }
    if (zeroMemory && m_pBuffer != nullptr) {
        std::memset(m_pBuffer, 0, m_iSize);
    }
    return m_pBuffer;
}

void CZipAutoBuffer::Release() noexcept {
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
    m_iSize = 0;
}

} // namespace pallorwind::zip
