// What the listener keeps for one connected app: its socket, its send thread
// and the MIDI bytes on their way to it.
#pragma once

#include "win/net/CReceiveSocket.h"

#include <atomic>
#include <condition_variable>
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

    // The send-socket lock: held for each step of the send thread, so the
    // socket is never closed while a write to it is under way.
    std::recursive_mutex csSendSocket;

    // Bytes queued for this app, whole messages, oldest first. Guarded by the
    // listener's MIDI-data lock.
    std::string pending;
    // Bytes taken from `pending` that the socket did not accept yet; only the
    // send thread touches them.
    std::string unsent;

    // Stop request for this session's send thread. It wakes the thread's wait.
    std::atomic<bool> stop{false};
    std::mutex stopMutex;
    std::condition_variable stopSignal;

    void RequestStop() {
        {
            std::lock_guard lock(stopMutex);
            stop = true;
        }
        stopSignal.notify_all();
    }

    // Waits up to `ms` milliseconds; returns early on a stop request.
    void Pause(int ms) {
        std::unique_lock lock(stopMutex);
        stopSignal.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop.load(); });
    }
};

} // namespace pallorwind::win
