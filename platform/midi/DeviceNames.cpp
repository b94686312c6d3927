#include "platform/midi/DeviceNames.h"

#include <cctype>

namespace pallorwind::midi {
namespace {

bool IsDigits(std::string_view s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

} // namespace

std::string StripAlsaAddress(std::string_view name) {
    const auto space = name.rfind(' ');
    if (space == std::string_view::npos)
        return std::string(name);
    const std::string_view address = name.substr(space + 1);
    const auto colon = address.find(':');
    if (colon == std::string_view::npos || !IsDigits(address.substr(0, colon)) ||
        !IsDigits(address.substr(colon + 1)))
        return std::string(name);
    return std::string(name.substr(0, space));
}

bool IsOwnPort(std::string_view name, std::string_view client) {
    if (client.empty() || !name.starts_with(client))
        return false;
    std::string_view rest = name.substr(client.size());
    if (rest.starts_with(':'))
        return true;
    if (!rest.starts_with('-'))
        return false;
    const auto colon = rest.find(':');
    return colon != std::string_view::npos && IsDigits(rest.substr(1, colon - 1));
}

} // namespace pallorwind::midi
