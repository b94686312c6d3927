#include "DottedVersion.h"

#include <cstdio>
#include <limits>

namespace pallorwind::win {

std::optional<std::array<std::int32_t, 4>> ParseDottedVersion(const std::string& text) {
    std::array<std::int32_t, 4> fields{};
    std::size_t count = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t dot = text.find('.', pos);
        const std::size_t end = dot == std::string::npos ? text.size() : dot;
        if (end > pos) {
            if (count == fields.size())
                return std::nullopt;
            std::int64_t value = 0;
            for (std::size_t i = pos; i < end; ++i) {
                const char c = text[i];
                if (c < '0' || c > '9')
                    return std::nullopt;
                value = value * 10 + (c - '0');
                if (value > std::numeric_limits<std::int32_t>::max())
                    return std::nullopt;
            }
            fields[count++] = static_cast<std::int32_t>(value);
        }
        pos = end + 1;
    }
    if (count == 0)
        return std::nullopt;
    return fields;
}

int CompareDottedVersions(const std::string& server, const std::string& local) {
    const auto s = ParseDottedVersion(server);
    if (!s)
        return -21;
    const auto l = ParseDottedVersion(local);
    if (!l)
        return -22;
    for (std::size_t i = 0; i < 4; ++i) {
        if ((*s)[i] != (*l)[i])
            return (*s)[i] > (*l)[i] ? 1 : -1;
    }
    return 0;
}

std::string FormatFileVersion(const std::array<std::int32_t, 4>& f) {
    char text[64];
    if (f[2] != 0 || f[3] != 0)
        std::snprintf(text, sizeof text, "%d.%d.%d.%d", f[0], f[1], f[2], f[3]);
    else if (f[0] != 0 || f[1] != 0)
        std::snprintf(text, sizeof text, "%d.%d", f[0], f[1]);
    else
        text[0] = '\0';
    return text;
}

} // namespace pallorwind::win
