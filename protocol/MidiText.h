// MIDI messages as text, for logs and the app simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace pallorwind::protocol {

// "90 3C 7F": the bytes in upper-case hex, separated by single spaces.
std::string FormatBytes(std::span<const std::uint8_t> bytes);

// The kind of message a status byte starts: "note-on", "clock", ...
const char* MessageName(std::uint8_t status);

// What a whole message means: "note-on ch1 60 127", "program-change ch10 5",
// "pitch-bend ch1 8192", "clock". `bytes` holds MessageLength(bytes[0]) bytes.
std::string DescribeMessage(const std::uint8_t* bytes);

// "90 3C 7F  note-on ch1 60 127" for a short-message word.
std::string DescribeShortMessage(std::uint32_t word);

} // namespace pallorwind::protocol
