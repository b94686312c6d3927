// Layout files carried over the app connection: a marker, a 16-byte ASCII
// length field, the file's bytes and its name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pallorwind::protocol {

inline constexpr std::uint8_t kLayoutMarkerByte = 0xFF;
inline constexpr std::size_t kLayoutMarkerSize = 3;
inline constexpr std::size_t kLengthFieldSize = 16;

// 0xFF 0xFF 0xFF, the marker that announces a layout.
std::string LayoutMarker();

// The length field: `size` in decimal, padded with 0x00 bytes to 16 bytes.
std::string EncodeLengthField(std::size_t size);

// The block that follows the marker: length field, content, name.
std::string EncodeLayoutBlock(std::string_view content, std::string_view name);

// Reads the length field's value: decimal digits up to the first other byte.
// `field` must hold 16 bytes.
std::uint64_t DecodeLengthField(const std::uint8_t* field);

struct Layout {
    std::string content;
    std::string name;
};

// The largest content a receiver keeps. The length field can state up to
// 10^16 - 1 bytes; a block that declares more than this is refused before any
// of its content is buffered.
inline constexpr std::uint64_t kMaxLayoutContentSize = 16u * 1024 * 1024;

enum class LayoutState {
    Receiving, // the block is still arriving
    Complete,  // length field, whole content and at least one byte of name are here
    Refusing,  // the length field states more than kMaxLayoutContentSize: the
               // block's bytes are counted and dropped as they arrive
    Refused,   // a refused block has passed: its content and at least one byte
               // of its name, all dropped
};

// Receives the block that follows a marker, fed bytes as they arrive. The
// block is complete once the length field, the whole content and at least one
// byte of name are here. Nothing on the wire marks the end of the name: bytes
// fed after completion still belong to it, so the caller takes the layout when
// a burst of input has ended (for a block sent in one write, when its read is
// done).
//
// A block whose length field states more than kMaxLayoutContentSize is
// refused: nothing past the length field is kept, but the block is still
// followed to its end (Refusing, then Refused) so that its content is never
// taken for MIDI. A Refused block ends like a complete one: its name runs to
// the end of the burst, and Take() then returns nothing and empties the
// receiver. A caller logs the refusal and goes back to MIDI mode, as after a
// layout; the connection stays in step with the sender.
class LayoutReceiver {
public:
    void Feed(const std::uint8_t* data, std::size_t size);
    void Feed(std::string_view bytes) {
        Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }

    LayoutState State() const;
    // Length of the content once the length field has arrived.
    std::optional<std::uint64_t> ContentLength() const;
    bool Complete() const { return State() == LayoutState::Complete; }
    // Bytes of this block fed so far, kept or not.
    std::uint64_t Received() const { return m_received; }
    // Bytes of this block held in memory.
    std::size_t Buffered() const { return m_buffer.size(); }

    // The completed layout, name being everything after the content that has
    // arrived; the receiver is then empty again. Nothing while incomplete or
    // refusing. A Refused block gives nothing and empties the receiver too.
    std::optional<Layout> Take();
    void Reset();

private:
    std::string m_buffer; // the length field, then (unless refused) content and name
    std::uint64_t m_received = 0;
    bool m_refused = false;
};

} // namespace pallorwind::protocol
