// Accepts apps, runs a session for each, and queues the computer's MIDI for them.
#pragma once

#include "platform/app/Log.h"
#include "platform/app/MainThreadPoster.h"
#include "platform/net/AppWriter.h"
#include "platform/net/AsyncSocket.h"
#include "win/net/CClientSession.h"
#include "win/net/CSocketRevIntface.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace pallorwind::win {

class CCommuInterface;
class CSocketInterface;

class CListenSocket : public pallorwind::platform::AsyncSocket, public CSocketRevIntface {
public:
    // MIDI bytes kept for apps that are not reading (or not yet connected).
    // When a queue is full the oldest whole messages are dropped. 64 KiB is
    // over twenty minutes of a running MIDI clock.
    static constexpr std::size_t kQueueLimit = 64 * 1024;
    // What the system may hold in an app's socket on top of its queue.
    static constexpr int kSendBuffer = pallorwind::platform::AsyncSocket::kAppSendBuffer;
    // Apps served at once; further connections are closed at once.
    static constexpr std::size_t kMaxClients = 64;
    // After an accept failed for want of descriptors or memory, the listener
    // rests this long before it tries again, in milliseconds.
    static constexpr int kAcceptRetryMs = pallorwind::platform::AsyncSocket::kAcceptRestMs;

    CListenSocket();
    ~CListenSocket() override;

    // Appends one short message for every connected app; with none connected,
    // to the backlog that the next app receives first. Any thread.
    void AddMidiData(std::uint32_t msg);
    // Appends messages that arrived together: the send threads see all of them
    // or none, so they go out in one write. Any thread.
    void AddMidiData(std::span<const std::uint32_t> msgs);

    // Ends the session of `client` on the user-interface thread (called on
    // the app's reading thread).
    void OnClientClosed(CReceiveSocket* client) override;

    // Stops reading every connected app and lets go of the notes and pedals
    // they hold down, on the output they were played to (user-interface
    // thread). Ending a session does this for its app; the server's owner
    // does it before the server goes with its apps.
    void ReleaseHeldNotes();

    // Changes the bound of every queue (for tests that need more room).
    void SetQueueLimit(std::size_t bytes);
    // Changes how many apps are served at once (user-interface thread).
    void SetMaxClients(std::size_t count) { m_maxClients = count; }
    // How long apps that fall silent are kept; for apps that connect later.
    void SetLinkTimeouts(const pallorwind::platform::LinkTimeouts& timeouts) {
        m_linkTimeouts = timeouts;
    }

    std::size_t ClientCount() const { return m_sessions.size(); }
    std::size_t BacklogSize();
    // Writes the send threads have made to the apps' sockets, all sessions.
    std::uint64_t WriteCount();
    // Sessions whose send thread is waiting for room in a full socket now.
    std::size_t SendersWaitingForRoom();

    CCommuInterface* m_pCommu = nullptr;
    CSocketInterface* m_pServer = nullptr;

protected:
    void OnAccept(int error) override;

private:
    void EndSession(std::uint64_t id);
    // Queues `bytes` (whole messages) for every app, or for the next one.
    void Queue(const std::string& bytes);

    // The MIDI-data lock: guards the backlog and the session list as the MIDI
    // thread sees it. Taken before a writer's own lock, never after one.
    std::recursive_mutex m_csMidiData;
    std::string m_midiData; // backlog while no app is connected
    std::size_t m_queueLimit = kQueueLimit;
    std::vector<std::unique_ptr<CClientSession>> m_sessions;
    std::uint64_t m_endedWrites = 0; // writes of sessions that have ended

    // User-interface thread only.
    std::uint64_t m_nextId = 1;
    std::size_t m_maxClients = kMaxClients;
    pallorwind::platform::LogOnce m_refusing; // a run of refusals, said once
    pallorwind::platform::LinkTimeouts m_linkTimeouts;

    // Carries a failed session from its send thread to the user-interface
    // thread. Declared last so that it goes first: no posted call outlives us.
    pallorwind::platform::MainThreadPoster m_poster;
};

} // namespace pallorwind::win
