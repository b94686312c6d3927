// The rule by which "Choose Name" and "Choose Port" clean what was typed.
#pragma once

#include <string>
#include <string_view>

namespace pallorwind::win {

// `utf8` without its trailing, then its leading white space. White space is
// the ASCII set (space, tab, line feed, vertical tab, form feed, carriage
// return), the no-break space U+00A0 and the ideographic space U+3000. The
// text is cut only at character boundaries, so a multibyte character is never
// split.
std::string TrimmedText(std::string_view utf8);

} // namespace pallorwind::win
