#pragma once

#include <cstdint>

namespace pallorwind::zip {

// Little-endian fields of ZIP records (for the reader's .cpp files).
namespace ZipBytes {

inline std::uint16_t Get16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

inline std::uint32_t Get32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

inline bool IsSignature(const char* p, char third, char fourth) {
    return p[0] == 'P' && p[1] == 'K' && p[2] == third && p[3] == fourth;
}

} // namespace ZipBytes

} // namespace pallorwind::zip
