// Layouts in the bridge's stream, for an app simulator that takes them: the
// bytes are MIDI messages until the marker, then a layout block that runs to
// the end of the burst that completes it.
#pragma once

#include "protocol/AppStream.h"
#include "protocol/LayoutTransfer.h"
#include "tools/appsim/MessageSplitter.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pallorwind::appsim {

class BridgeStream {
public:
    // One read's bytes; the MIDI messages they complete go to `out`.
    void Feed(const std::uint8_t* data, std::size_t size, Clock::time_point arrival,
              std::vector<ReceivedMessage>& out);

    // A layout block is arriving (after a marker).
    bool InLayout() const { return m_reader.InLayout(); }
    // The block has all its content and some name; the burst's end ends it.
    bool LayoutEnded() const { return m_reader.LayoutEnded(); }
    // At the end of a burst: the layout that ended, back to MIDI. Nothing for
    // a block whose length field stated too much (`refused` is then set).
    std::optional<protocol::Layout> TakeLayout(bool& refused);

    // Bytes of a MIDI message still waiting for the rest.
    std::size_t PendingBytes() const { return m_splitter.Pending(); }

private:
    MessageSplitter m_splitter;
    protocol::BridgeStreamReader m_reader;
};

// Stores `layout` in the folder `dir` under SafeLayoutFileName of its name
// (a ".plw" the bridge sends with the name is not doubled), never following a
// link there; returns the file's path. Throws std::runtime_error.
std::string SaveLayout(const std::string& dir, const protocol::Layout& layout);

} // namespace pallorwind::appsim
