#include "ExecutableVersion.h"

#include "DottedVersion.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace pallorwind::win {

namespace {

constexpr std::size_t kChunk = 1 << 16;
constexpr std::size_t kMaxVersionText = 64;

// The version text after a marker at text[at], up to its zero byte; no value
// when it is not a well-formed version (for instance the bare marker text
// this very function is compiled with).
std::optional<std::string> RecordAt(std::string_view text, std::size_t at) {
    const std::size_t start = at + std::strlen(kVersionRecordMarker);
    const std::size_t end = text.find('\0', start);
    if (end == std::string_view::npos || end == start || end - start > kMaxVersionText)
        return std::nullopt;
    std::string version(text.substr(start, end - start));
    if (!ParseDottedVersion(version))
        return std::nullopt;
    return version;
}

} // namespace

std::string ReadExecutableVersion(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    const std::size_t markerLength = std::strlen(kVersionRecordMarker);
    const std::size_t keep = markerLength + kMaxVersionText + 1;
    std::vector<char> buffer;
    std::optional<std::string> found;
    std::vector<char> chunk(kChunk);
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        buffer.insert(buffer.end(), chunk.data(), chunk.data() + n);
        const std::string_view text(buffer.data(), buffer.size());
        std::size_t at = 0;
        std::size_t resume = buffer.size() > keep ? buffer.size() - keep : 0;
        while ((at = text.find(kVersionRecordMarker, at)) != std::string_view::npos) {
            if (auto v = RecordAt(text, at)) {
                found = std::move(v);
                break;
            }
            // A marker too near the end to judge is looked at again with
            // the next chunk.
            if (text.find('\0', at + markerLength) == std::string_view::npos) {
                resume = std::min(resume, at);
                break;
            }
            ++at;
        }
        if (found)
            break;
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(resume));
    }
    ::close(fd);
    if (!found)
        return "";
    return FormatFileVersion(*ParseDottedVersion(*found));
}

} // namespace pallorwind::win
