#include "win/app/TrimmedText.h"

#include <array>

namespace pallorwind::win {
namespace {

constexpr std::array<std::string_view, 8> kSpaces = {
    " ", "\t", "\n", "\v", "\f", "\r", "\xC2\xA0", "\xE3\x80\x80",
};

// The length of the white-space character that `text` starts (or, with
// `atEnd`, ends) with; 0 when it does not. UTF-8 lead and continuation bytes
// are never ASCII, so a match always covers whole characters.
std::size_t SpaceAt(std::string_view text, bool atEnd) {
    for (std::string_view space : kSpaces)
        if (atEnd ? text.ends_with(space) : text.starts_with(space))
            return space.size();
    return 0;
}

} // namespace

std::string TrimmedText(std::string_view utf8) {
    while (std::size_t n = SpaceAt(utf8, true))
        utf8.remove_suffix(n);
    while (std::size_t n = SpaceAt(utf8, false))
        utf8.remove_prefix(n);
    return std::string(utf8);
}

} // namespace pallorwind::win
