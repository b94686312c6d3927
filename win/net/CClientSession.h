// What the listener keeps for one connected app: its socket, its send thread
// and the MIDI bytes on their way to it.
#pragma once

#include "win/net/CReceiveSocket.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pallorwind::win {

struct CClientSession {
    std::uint64_t id = 0;
    std::unique_ptr<CReceiveSocket> socket;
    std::thread sendThread;

    // The send-socket lock: held for each write of the send thread and its
    // wait for room, so the socket is never closed while a write to it is
    // under way.
    std::recursive_mutex csSendSocket;

    // Bytes queued for this app, whole messages, oldest first. Guarded by the
    // listener's MIDI-data lock.
    std::string pending;
    // Bytes taken from `pending` that the socket did not accept yet; only the
    // send thread touches them.
    std::string unsent;

    // Stop request for this session's send thread. Set under the listener's
    // MIDI-data lock, so that the thread's wait for MIDI cannot miss it.
    std::atomic<bool> stop{false};
    // The send thread is waiting for the app to make room in its socket.
    std::atomic<bool> waitingForRoom{false};
};

} // namespace pallorwind::win
