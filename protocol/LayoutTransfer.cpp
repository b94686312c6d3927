#include "protocol/LayoutTransfer.h"

#include <algorithm>

namespace pallorwind::protocol {

std::string LayoutMarker() {
    return std::string(kLayoutMarkerSize, char(kLayoutMarkerByte));
}

std::string EncodeLengthField(std::size_t size) {
    std::string field = std::to_string(size);
    field.resize(kLengthFieldSize, '\0');
    return field;
}

std::string EncodeLayoutBlock(std::string_view content, std::string_view name) {
    std::string block = EncodeLengthField(content.size());
    block.reserve(block.size() + content.size() + name.size());
    block.append(content);
    block.append(name);
    return block;
}

std::uint64_t DecodeLengthField(const std::uint8_t* field) {
    // Sixteen digits cannot overflow 64 bits.
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < kLengthFieldSize && field[i] >= '0' && field[i] <= '9'; ++i)
        value = value * 10 + (field[i] - '0');
    return value;
}

void LayoutReceiver::Feed(const std::uint8_t* data, std::size_t size) {
    m_received += size;
    if (m_buffer.size() < kLengthFieldSize) {
        const std::size_t field = std::min(size, kLengthFieldSize - m_buffer.size());
        m_buffer.append(reinterpret_cast<const char*>(data), field);
        data += field;
        size -= field;
        if (m_buffer.size() == kLengthFieldSize)
            m_refused = *ContentLength() > kMaxLayoutContentSize;
    }
    if (!m_refused)
        m_buffer.append(reinterpret_cast<const char*>(data), size);
}

std::optional<std::uint64_t> LayoutReceiver::ContentLength() const {
    if (m_buffer.size() < kLengthFieldSize)
        return std::nullopt;
    return DecodeLengthField(reinterpret_cast<const std::uint8_t*>(m_buffer.data()));
}

LayoutState LayoutReceiver::State() const {
    const auto length = ContentLength();
    const bool passed = length && m_received - kLengthFieldSize > *length;
    if (m_refused)
        return passed ? LayoutState::Refused : LayoutState::Refusing;
    return passed ? LayoutState::Complete : LayoutState::Receiving;
}

std::optional<Layout> LayoutReceiver::Take() {
    const LayoutState state = State();
    if (state == LayoutState::Refused)
        Reset();
    if (state != LayoutState::Complete)
        return std::nullopt;
    const std::size_t length = std::size_t(*ContentLength());
    Layout layout{m_buffer.substr(kLengthFieldSize, length),
                  m_buffer.substr(kLengthFieldSize + length)};
    Reset();
    return layout;
}

void LayoutReceiver::Reset() {
    std::string().swap(m_buffer);
    m_received = 0;
    m_refused = false;
}

} // namespace pallorwind::protocol
