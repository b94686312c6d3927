// What the listener keeps for one connected app: its socket, and the writer
// that carries the computer's MIDI to it on a thread of its own.
#pragma once

#include "platform/net/AppWriter.h"
#include "win/net/CReceiveSocket.h"

#include <cstdint>
#include <memory>

namespace pallorwind::win {

struct CClientSession {
    std::uint64_t id = 0;
    std::unique_ptr<CReceiveSocket> socket;
    // Stopped before the socket closes.
    std::unique_ptr<pallorwind::platform::AppWriter> writer;
};

} // namespace pallorwind::win
