// One app's connection as two streams: bytes from the app, read on the main
// event loop when they arrive, and bytes to the app, written by a thread of
// the connection's own so that no caller ever waits for the app.
#pragma once

#include "platform/net/AppWriter.h"
#include "platform/net/AsyncSocket.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace pallorwind::osx {

class AppStreams {
public:
    // Bytes waiting for the app beyond which MIDI is dropped: the app is not
    // reading, and late MIDI is worse than none.
    static constexpr std::size_t kMidiRoom = 64 * 1024;

    struct Events {
        std::function<void()> bytesAvailable; // main thread
        std::function<void(int error)> ended; // main thread; 0 for an orderly end
    };

    AppStreams();
    // Accepts the connection pending on `listener`, which rests for a while
    // when descriptors are short. False when none was accepted, or when no
    // thread could be made to write to it (it is then closed, and logged).
    bool AcceptFrom(platform::AsyncSocket& listener, const platform::LinkTimeouts& timeouts);
    // Where the notices go; they run from the event loop, never from here.
    void SetEvents(Events events) { m_events = std::move(events); }
    // No more notices: the connection is being let go of.
    void Quiet();
    // Closes the connection; bytes not yet written are dropped. Does not wait
    // for the app.
    ~AppStreams();
    AppStreams(const AppStreams&) = delete;
    AppStreams& operator=(const AppStreams&) = delete;

    // One read of at most `size` bytes: the count, 0 at the end, -1 when
    // nothing is there now or on an error.
    long Read(std::uint8_t* buffer, std::size_t size);
    // Bytes that can be read now without waiting.
    std::size_t Available() const;
    bool AtEnd() const { return m_atEnd; }

    // Queues `bytes` whole for the app, behind what is queued; false, and
    // nothing queued, when more than `room` bytes would then wait or the
    // connection is broken. Whole calls never interleave. Any thread.
    bool Write(std::string_view bytes, std::size_t room = kMidiRoom);
    // Bytes queued and not yet taken by the system.
    std::size_t Pending();

private:
    class Socket;

    std::unique_ptr<Socket> m_socket;
    std::unique_ptr<platform::AppWriter> m_writer;
    Events m_events;
    bool m_atEnd = false;
};

} // namespace pallorwind::osx
