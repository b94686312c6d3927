#include "protocol/LayoutName.h"

#include <cstdint>

namespace pallorwind::protocol {
namespace {

// The length of the valid UTF-8 sequence at the start of `text`, 0 when it
// is not one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t Utf8Length(std::string_view text, char32_t& code) {
    const auto b0 = std::uint8_t(text[0]);
    std::size_t length;
    if (b0 < 0x80) {
        code = b0;
        return 1;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        code = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        code = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        code = b0 & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = std::uint8_t(text[i]);
        if ((b & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (b & 0x3F);
    }
    const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

bool Unsafe(char32_t code) {
    return code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F) || code == '/' ||
           code == '\\';
}

} // namespace

std::string SafeLayoutFileName(std::string_view received) {
    std::string stem;
    while (!received.empty()) {
        char32_t code = 0;
        const std::size_t length = Utf8Length(received, code);
        if (length == 0 || Unsafe(code)) {
            stem += '_';
            received.remove_prefix(length == 0 ? 1 : length);
            continue;
        }
        if (stem.empty() && (code == '.' || code == ' ')) {
            received.remove_prefix(1);
            continue;
        }
        if (stem.size() + length > kMaxLayoutStem)
            break;
        stem.append(received.substr(0, length));
        received.remove_prefix(length);
    }
    if (stem.size() > kMaxLayoutStem)
        stem.resize(kMaxLayoutStem); // only '_' can take it past (one byte each)
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    if (stem.empty())
        stem = kFallbackLayoutStem;
    return stem + std::string(kLayoutExtension);
}

} // namespace pallorwind::protocol
