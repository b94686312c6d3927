// The app's side of one connection to the bridge, over a plain TCP socket.
#pragma once

#include "tools/appsim/MessageSplitter.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace pallorwind::appsim {

// Connecting, sending or receiving failed; what() says why.
class ConnectionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ConnectOptions {
    std::chrono::milliseconds timeout{5000};
    // SO_RCVBUF in bytes before connecting, 0 to keep the system's. A small
    // buffer lets a test play an app that stops reading.
    int receiveBuffer = 0;
};

// One read of the socket: when it returned and how many bytes it brought.
struct ReadEvent {
    Clock::time_point arrival;
    std::size_t size;
};

// Connects like the app does (TCP, TCP_NODELAY), sends records as raw bytes,
// and collects what the bridge sends back: the raw stream, every read, and the
// stream split into MIDI messages with arrival times. Receiving happens only
// inside the Receive* calls. Not thread-safe; move-only.
class AppConnection {
public:
    AppConnection() = default;
    AppConnection(AppConnection&& other) noexcept;
    AppConnection& operator=(AppConnection&& other) noexcept;
    AppConnection(const AppConnection&) = delete;
    AppConnection& operator=(const AppConnection&) = delete;
    ~AppConnection();

    // Tries every address of `host` in turn (an IPv4-only bridge is reached
    // through "localhost" even when it resolves to ::1 first). Throws
    // ConnectionError naming the host, port and reason.
    static AppConnection Connect(const std::string& host, std::uint16_t port,
                                 const ConnectOptions& options = {});

    bool IsOpen() const { return m_fd >= 0; }
    int NativeHandle() const { return m_fd; }
    Clock::time_point ConnectedAt() const { return m_connectedAt; }

    // Writes all of `data`, waiting while the socket buffer is full (up to
    // `timeout` without progress). Throws ConnectionError on failure.
    void Send(const void* data, std::size_t size,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    void Send(const std::vector<std::uint8_t>& bytes) { Send(bytes.data(), bytes.size()); }
    // Note on etc.: the three bytes of one record.
    void SendRecord(std::uint8_t status, std::uint8_t data1 = 0, std::uint8_t data2 = 0);

    enum class ReceiveResult {
        Data,    // at least one byte arrived
        Timeout, // nothing arrived in time
        Closed,  // the bridge closed the connection (or it was reset)
    };
    // Waits up to `timeout` for bytes and reads everything available.
    ReceiveResult ReceiveOnce(std::chrono::milliseconds timeout);
    // Receives until Received() holds at least `total` bytes; false on timeout
    // or when the bridge closed first.
    bool ReceiveBytes(std::size_t total, std::chrono::milliseconds timeout);
    // Receives until Messages() holds at least `count` messages.
    bool ReceiveMessages(std::size_t count, std::chrono::milliseconds timeout);
    // Receives until the bridge closes the connection; false on timeout.
    bool ReceiveUntilClosed(std::chrono::milliseconds timeout);

    // Everything received since connecting (or since TakeReceived).
    const std::string& Received() const { return m_received; }
    std::string TakeReceived();
    const std::vector<ReadEvent>& Reads() const { return m_reads; }
    // The received stream as messages, oldest first (since TakeMessages).
    const std::vector<ReceivedMessage>& Messages() const { return m_messages; }
    std::vector<ReceivedMessage> TakeMessages();
    // Bytes of a message that still waits for its data bytes.
    std::size_t PendingBytes() const { return m_splitter.Pending(); }
    bool PeerClosed() const { return m_peerClosed; }

    // Ends sending (the bridge reads end of stream) but keeps receiving.
    void ShutdownSend();
    void Close();

private:
    template <typename Done> bool ReceiveUntil(Done done, std::chrono::milliseconds timeout);

    int m_fd = -1;
    Clock::time_point m_connectedAt{};
    bool m_peerClosed = false;
    std::string m_received;
    std::vector<ReadEvent> m_reads;
    std::vector<ReceivedMessage> m_messages;
    MessageSplitter m_splitter;
};

} // namespace pallorwind::appsim
