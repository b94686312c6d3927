// A small asynchronous TCP socket over POSIX sockets. Its notices (accept,
// receive, close) are delivered on the thread that owns the main event loop,
// through QSocketNotifier. Send() and WaitWritable() may be called from any
// thread as long as the owner does not close the socket at the same time.
#pragma once

#include "platform/app/Log.h"
#include "platform/app/SingleShotTimer.h"

#include <cstddef>
#include <cstdint>
#include <memory>

class QSocketNotifier;

namespace pallorwind::platform {

// How long an app that has gone silent is kept. A phone that leaves the
// Wi-Fi, sleeps or loses power sends nothing more, not even a close; TCP's own
// probes find it out, and nothing of ours changes on the wire. A phone that is
// there answers the probes from its kernel, also while the app sleeps.
struct LinkTimeouts {
    // Keep-alive probes start after this much silence from the app...
    int idleSeconds = 5;
    // ...and follow at this pace.
    int intervalSeconds = 2;
    // Unanswered probes after which the app is gone (when `userTimeoutMs` is 0).
    int probes = 5;
    // The app is gone when what was sent to it, or a probe, has gone
    // unanswered this long. Dead apps are dropped about 15 s after their last
    // word; one that keeps a full receive window shut that long counts as dead.
    int userTimeoutMs = 15000;
};

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

    enum class AcceptResult { Accepted, NoConnection, Starved };
    // The pause of a listener that could not accept for want of descriptors
    // or memory, in milliseconds.
    static constexpr int kAcceptRestMs = 100;
    // What the system may hold in an app's socket on top of the writer's
    // queue; without a cap it grows to megabytes for an app that does not
    // read, and the app would get minutes-old MIDI.
    static constexpr int kAppSendBuffer = 32 * 1024;
    // Accepts an app for a listener's notice, as both bridges do: the app's
    // socket gets TCP_NODELAY, the send buffer cap and `timeouts`. When
    // descriptors or memory are short the connection stays pending and the
    // listener would be told of it again at once: its notices rest `restMs`
    // instead (one log line for a run of such failures), and Starved is
    // answered. NoConnection: the peer gave up meanwhile.
    AcceptResult AcceptApp(AsyncSocket& client, const LinkTimeouts& timeouts,
                           int restMs = kAcceptRestMs);
    // recv(): bytes read, 0 when the peer has closed, -1 with LastError().
    long Receive(void* buffer, std::size_t size);
    // send() without SIGPIPE: bytes taken, -1 with LastError().
    long Send(const void* data, std::size_t size);
    // Waits until a send can take bytes, or `timeoutMs` passes.
    bool WaitWritable(int timeoutMs) const;
    void SetNoDelay();
    // TCP keep-alive and a user time-out as `timeouts` says: a peer that has
    // vanished is dropped, and its socket reports an error (ETIMEDOUT).
    void SetLinkTimeouts(const LinkTimeouts& timeouts);
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
    // The socket is read elsewhere (a thread of its own): no notices at all
    // from now on, not even for a close.
    void DropNotices();
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
    // The peer has closed or failed: notices stop for good (a level-triggered
    // notifier would go on reporting the end).
    void EndNotices();
    void Watch();
    void Readable();

    int m_fd = -1;
    bool m_listening = false;
    bool m_readEnabled = true;
    bool m_peerClosed = false; // reported once; the notifier stays off
    LogOnce m_acceptStarved;   // a run of failed accepts, said once
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<SingleShotTimer> m_resume; // ends a PauseNotices
};

} // namespace pallorwind::platform
