#include "tools/appsim/LayoutStream.h"

#include "protocol/LayoutName.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace pallorwind::appsim {

void BridgeStream::Feed(const std::uint8_t* data, std::size_t size, Clock::time_point arrival,
                        std::vector<ReceivedMessage>& out) {
    for (std::size_t i = 0; i < size; ++i) {
        if (m_inLayout) {
            m_layout.Feed(data + i, size - i);
            return;
        }
        if (data[i] == protocol::kLayoutMarkerByte) {
            if (++m_markerBytes == protocol::kLayoutMarkerSize) {
                m_markerBytes = 0;
                m_inLayout = true;
            }
            continue;
        }
        // Fewer than a marker's worth: System Reset bytes after all.
        for (; m_markerBytes > 0; --m_markerBytes)
            m_splitter.Feed(&protocol::kLayoutMarkerByte, 1, arrival, out);
        m_splitter.Feed(data + i, 1, arrival, out);
    }
}

bool BridgeStream::LayoutEnded() const {
    const protocol::LayoutState state = m_layout.State();
    return m_inLayout &&
           (state == protocol::LayoutState::Complete || state == protocol::LayoutState::Refused);
}

std::optional<protocol::Layout> BridgeStream::TakeLayout(bool& refused) {
    refused = false;
    if (!LayoutEnded())
        return std::nullopt;
    refused = m_layout.State() == protocol::LayoutState::Refused;
    m_inLayout = false;
    return m_layout.Take();
}

std::string SaveLayout(const std::string& dir, const protocol::Layout& layout) {
    std::string_view name = layout.name;
    if (name.ends_with(protocol::kLayoutExtension))
        name.remove_suffix(protocol::kLayoutExtension.size());
    const std::string path = dir + "/" + protocol::SafeLayoutFileName(name);
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < layout.content.size()) {
        const ssize_t n = ::write(fd, layout.content.data() + done, layout.content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string reason = std::strerror(errno);
            ::close(fd);
            throw std::runtime_error("cannot write " + path + ": " + reason);
        }
        done += std::size_t(n);
    }
    if (::close(fd) != 0)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    return path;
}

} // namespace pallorwind::appsim
