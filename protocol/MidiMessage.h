// MIDI short messages as they travel between the app and the bridge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pallorwind::protocol {

// Size of one app-to-bridge record: a MIDI short message padded to three bytes.
inline constexpr std::size_t kRecordSize = 3;
// Largest single read of the app's socket on the Windows bridge (2000 records).
inline constexpr std::size_t kMaxReadSize = 6000;

// Number of bytes MIDI 1.0 gives a message that starts with `status`: 3 for
// note off/on, poly pressure, control change, pitch bend and song position;
// 2 for program change, channel pressure, time code quarter frame and song
// select; 1 for every other system and real-time message. A data byte (below
// 0x80) is not a status; it is counted as a one-byte message so that a caller
// never reads beyond what it was given.
constexpr int MessageLength(std::uint8_t status) {
    if (status < 0x80)
        return 1;
    if (status < 0xF0) {
        const std::uint8_t kind = status & 0xF0;
        return (kind == 0xC0 || kind == 0xD0) ? 2 : 3;
    }
    switch (status) {
    case 0xF1: // time code quarter frame
    case 0xF3: // song select
        return 2;
    case 0xF2: // song position pointer
        return 3;
    default:
        return 1;
    }
}

// A short-message word: status in bits 0-7, data bytes in bits 8-15 and 16-23.
constexpr std::uint32_t RecordToWord(const std::uint8_t* record) {
    return std::uint32_t(record[0]) | std::uint32_t(record[1]) << 8 |
           std::uint32_t(record[2]) << 16;
}

constexpr std::uint8_t WordStatus(std::uint32_t word) {
    return std::uint8_t(word & 0xFF);
}

// A status byte that starts a short message: not a data byte, and not the
// start (0xF0) or end (0xF7) of a system-exclusive message.
constexpr bool IsShortStatus(std::uint8_t status) {
    return status >= 0x80 && status != 0xF0 && status != 0xF7;
}

// True when `word` is a well-formed short message: its low byte is a status
// byte other than 0xF0 and 0xF7 (system exclusive is not a short message), the
// data bytes that status calls for are below 0x80, and bits 24-31 are clear.
// Bytes beyond the message's length are padding and are not looked at, so
// C0 05 FF is a program change.
constexpr bool IsShortMessage(std::uint32_t word) {
    const std::uint8_t status = WordStatus(word);
    if (!IsShortStatus(status) || (word >> 24) != 0)
        return false;
    const int length = MessageLength(status);
    for (int i = 1; i < length; ++i)
        if ((word >> (8 * i)) & 0x80)
            return false;
    return true;
}

// Writes the bytes of `word` that its status calls for, lowest byte first, to
// `out` (room for three). Returns how many were written.
inline int EncodeShortMessage(std::uint32_t word, std::uint8_t* out) {
    const int length = MessageLength(WordStatus(word));
    for (int i = 0; i < length; ++i)
        out[i] = std::uint8_t(word >> (8 * i));
    return length;
}

// Appends the bytes of `word` to the bridge-to-app stream.
inline void AppendShortMessage(std::string& stream, std::uint32_t word) {
    std::uint8_t bytes[3];
    stream.append(reinterpret_cast<const char*>(bytes),
                  std::size_t(EncodeShortMessage(word, bytes)));
}

} // namespace pallorwind::protocol
