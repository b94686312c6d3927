// A small asynchronous TCP socket over POSIX sockets. Its notices (accept,
// receive, close) are delivered on the thread that owns the main event loop,
// through QSocketNotifier. Send() and WaitWritable() may be called from any
// thread as long as the owner does not close the socket at the same time.
#pragma once

#include "platform/net/SingleShotTimer.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class QSocketNotifier;

namespace pallorwind::platform {

class AsyncSocket {
public:
    AsyncSocket();
    virtual ~AsyncSocket();
    AsyncSocket(const AsyncSocket&) = delete;
    AsyncSocket& operator=(const AsyncSocket&) = delete;

    // A non-blocking IPv4 stream socket bound to every local address on `port`
    // (0: a port the system chooses).
    bool Create(std::uint16_t port);
    bool Listen(int backlog);
    // The longest queue of pending connections the system allows.
    static int MaxBacklog();
    bool GetSockName(std::uint16_t& port) const;
    // Accepts a pending connection into `client`, which then gets notices.
    bool Accept(AsyncSocket& client);
    // recv(): bytes read, 0 when the peer has closed, -1 with LastError().
    long Receive(void* buffer, std::size_t size);
    // send() without SIGPIPE: bytes taken, -1 with LastError().
    long Send(const void* data, std::size_t size);
    // Waits until a send can take bytes, or `timeoutMs` passes.
    bool WaitWritable(int timeoutMs) const;
    void SetNoDelay();
    // Caps the bytes the system keeps queued for sending; it no longer grows
    // the buffer on its own.
    void SetSendBuffer(int bytes);
    // Stops this socket's notices for `ms` milliseconds, then resumes them. A
    // timer on the main event loop, so the caller never waits.
    void PauseNotices(int ms);
    // Switches the receive and close notices off (false) or on again; a
    // socket whose notices are off reads nothing and so lets TCP hold the
    // peer back. A close by the peer is noticed once they are on again. Kept
    // across Accept.
    void SetReadEnabled(bool enabled);
    bool ReadEnabled() const { return m_readEnabled; }
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    int Handle() const { return m_fd; }

    // errno of this thread's last failed call.
    static int LastError();
    static bool IsWouldBlock(int error);
    // The system is out of descriptors or memory for now.
    static bool IsOutOfResources(int error);

protected:
    virtual void OnAccept(int /*error*/) {}
    virtual void OnReceive(int /*error*/) {}
    virtual void OnClose(int /*error*/) {}

private:
    void Watch();
    void Readable();

    int m_fd = -1;
    bool m_listening = false;
    bool m_readEnabled = true;
    bool m_peerClosed = false; // reported once; the notifier stays off
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<SingleShotTimer> m_resume; // ends a PauseNotices
};

} // namespace pallorwind::platform
