#include "tools/appsim/LayoutStream.h"

#include "protocol/LayoutName.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace pallorwind::appsim {

namespace {

// The bridge's stream as the app simulator takes it.
struct Taken {
    MessageSplitter* splitter = nullptr;
    Clock::time_point arrival;
    std::vector<ReceivedMessage>* out = nullptr;
    std::optional<protocol::Layout> layout;
    bool refused = false;

    void Midi(const std::uint8_t* bytes, std::size_t size) {
        splitter->Feed(bytes, size, arrival, *out);
    }
    void LayoutReceived(protocol::Layout&& received) { layout = std::move(received); }
    void LayoutRefused(std::uint64_t) { refused = true; }
};

} // namespace

void BridgeStream::Feed(const std::uint8_t* data, std::size_t size, Clock::time_point arrival,
                        std::vector<ReceivedMessage>& out) {
    Taken taken;
    taken.splitter = &m_splitter;
    taken.arrival = arrival;
    taken.out = &out;
    m_reader.Feed(data, size, taken);
}

std::optional<protocol::Layout> BridgeStream::TakeLayout(bool& refused) {
    Taken taken;
    m_reader.EndOfBurst(taken);
    refused = taken.refused;
    return std::move(taken.layout);
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
