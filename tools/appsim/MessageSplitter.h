// Splits the bridge-to-app byte stream into MIDI short messages.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pallorwind::appsim {

using Clock = std::chrono::steady_clock;

enum class MessageKind {
    Complete,   // a status byte and as many data bytes as it calls for
    Stray,      // a data byte (below 0x80) with no status before it
    Incomplete, // a status whose data bytes were cut short by the next status
};

struct ReceivedMessage {
    std::array<std::uint8_t, 3> bytes{};
    std::uint8_t size = 0;
    MessageKind kind = MessageKind::Complete;
    // When the read that brought the message's last byte returned.
    Clock::time_point arrival{};

    std::span<const std::uint8_t> Bytes() const { return {bytes.data(), size}; }
    // The short-message word: status in bits 0-7, data in 8-15 and 16-23.
    std::uint32_t Word() const;
};

// Fed the bridge's bytes as they arrive. Every status byte starts a message of
// protocol::MessageLength bytes; a message still short of its data bytes waits
// for the next feed (see Pending).
class MessageSplitter {
public:
    // Appends every message that `data` completes to `out`, in order.
    void Feed(const std::uint8_t* data, std::size_t size, Clock::time_point arrival,
              std::vector<ReceivedMessage>& out);

    // Bytes of a message still waiting for its data bytes.
    std::size_t Pending() const { return m_partial.size; }
    void Reset() { m_partial = {}; }

private:
    ReceivedMessage m_partial;
};

// What the message means, e.g. "note-on ch1 60 127", "program-change ch10 5",
// "clock", "stray data byte".
std::string DescribeMessage(const ReceivedMessage& message);

// One output line: "+12.345 ms  90 3C 7F  note-on ch1 60 127", the time being
// the message's arrival relative to `origin`.
std::string FormatMessageLine(const ReceivedMessage& message, Clock::time_point origin);

} // namespace pallorwind::appsim
