// Accepts apps, runs a session for each, and queues the computer's MIDI for them.
#pragma once

#include "platform/net/AsyncSocket.h"
#include "platform/net/MainThreadPoster.h"
#include "win/net/CClientSession.h"
#include "win/net/CSocketRevIntface.h"

#include <atomic>
#include <condition_variable>
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
    // What the system may hold in an app's socket on top of its queue; without
    // a cap it grows to megabytes for an app that does not read, and the app
    // would get minutes-old MIDI.
    static constexpr int kSendBuffer = 32 * 1024;
    // Apps served at once; further connections are closed at once.
    static constexpr std::size_t kMaxClients = 64;
    // A send thread waiting for room in a full socket looks for a stop request
    // this often, in milliseconds. An idle send thread sleeps until MIDI comes.
    static constexpr int kRoomWaitMs = 20;
    // After an accept failed for want of descriptors or memory, the listener
    // rests this long before it tries again, in milliseconds.
    static constexpr int kAcceptRetryMs = 100;

    CListenSocket();
    ~CListenSocket() override;

    // Appends one short message for every connected app; with none connected,
    // to the backlog that the next app receives first. Any thread.
    void AddMidiData(std::uint32_t msg);
    // Appends messages that arrived together: the send threads see all of them
    // or none, so they go out in one write. Any thread.
    void AddMidiData(std::span<const std::uint32_t> msgs);

    // One step of a session's send thread; false means the thread ends.
    bool SendPending(CClientSession& session);

    // Ends the session of `client` (user-interface thread).
    void OnClientClosed(CReceiveSocket* client) override;

    // Stops (true) or resumes reading the records of every app, including
    // apps that connect meanwhile: TCP then holds them back (user-interface
    // thread).
    void PauseReading(bool paused);
    bool ReadingPaused() const { return m_readPaused; }

    // Changes the bound of every queue (for tests that need more room).
    void SetQueueLimit(std::size_t bytes);
    // Changes how many apps are served at once (user-interface thread).
    void SetMaxClients(std::size_t count) { m_maxClients = count; }

    std::size_t ClientCount() const { return m_sessions.size(); }
    std::size_t BacklogSize();
    // Writes the send threads have made to the apps' sockets, all sessions.
    std::uint64_t WriteCount() const { return m_writes; }
    // Sessions whose send thread is waiting for room in a full socket now.
    std::size_t SendersWaitingForRoom();

    CCommuInterface* m_pCommu = nullptr;
    CSocketInterface* m_pServer = nullptr;

protected:
    void OnAccept(int error) override;

private:
    void EndSession(std::uint64_t id);
    void RequestStop(CClientSession& session);
    void StopSession(CClientSession& session);
    // Appends one message to every queue, under the MIDI-data lock; true when a
    // queue was empty before, so that its send thread may be asleep.
    bool Append(std::uint32_t msg);
    static void TrimQueue(std::string& queue, std::size_t limit);

    // The MIDI-data lock: guards the backlog, every session's `pending` and the
    // session list as the MIDI thread sees it. Taken after a send-socket lock,
    // never before one.
    std::recursive_mutex m_csMidiData;
    std::string m_midiData; // backlog while no app is connected
    std::size_t m_queueLimit = kQueueLimit;
    std::vector<std::unique_ptr<CClientSession>> m_sessions;
    std::uint64_t m_nextId = 1;
    // Wakes the send threads when MIDI is queued or a stop is requested; used
    // with the MIDI-data lock.
    std::condition_variable_any m_midiQueued;
    std::atomic<std::uint64_t> m_writes{0};

    // User-interface thread only.
    std::size_t m_maxClients = kMaxClients;
    bool m_refusing = false;      // a refusal has been logged since the last free slot
    bool m_acceptStarved = false; // an accept failure has been logged since the last accept
    bool m_readPaused = false;

    // Carries a failed session from its send thread to the user-interface
    // thread. Declared last so that it goes first: no posted call outlives us.
    pallorwind::platform::MainThreadPoster m_poster;
};

// The send thread of one session.
unsigned SendThreadProc(CListenSocket* listener, CClientSession* session);

} // namespace pallorwind::win
