#pragma once

#include <cstddef>

namespace pallorwind::zip {

// An owned byte buffer. Allocating the size it already has keeps the memory;
// another size frees it and allocates anew; size 0 leaves it empty.
class CZipAutoBuffer {
public:
    CZipAutoBuffer() = default;
    explicit CZipAutoBuffer(std::size_t size, bool zeroMemory = false);
    CZipAutoBuffer(const CZipAutoBuffer& other);
    CZipAutoBuffer(CZipAutoBuffer&& other) noexcept;
    CZipAutoBuffer& operator=(const CZipAutoBuffer& other);
    CZipAutoBuffer& operator=(CZipAutoBuffer&& other) noexcept;
    ~CZipAutoBuffer();

    char* Allocate(std::size_t size, bool zeroMemory = false);
    void Release() noexcept;

    char* GetBuffer() { return m_pBuffer; }
    const char* GetBuffer() const { return m_pBuffer; }
    std::size_t GetSize() const { return m_iSize; }
    bool IsAllocated() const { return m_pBuffer != nullptr; }

private:
    char* m_pBuffer = nullptr;
    std::size_t m_iSize = 0;
};

} // namespace pallorwind::zip
