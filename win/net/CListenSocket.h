// Accepts apps, runs a session for each, and queues the computer's MIDI for them.
#pragma once

#include "platform/net/AsyncSocket.h"
#include "platform/net/MainThreadPoster.h"
#include "win/net/CClientSession.h"
#include "win/net/CSocketRevIntface.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
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
    // Send thread's wait when there is nothing to send, in milliseconds.
    static constexpr int kIdleWaitMs = 50;

    CListenSocket();
    ~CListenSocket() override;

    // Appends one short message for every connected app; with none connected,
    // to the backlog that the next app receives first. Any thread.
    void AddMidiData(std::uint32_t msg);

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

    std::size_t ClientCount() const { return m_sessions.size(); }
    std::size_t BacklogSize();

    CCommuInterface* m_pCommu = nullptr;
    CSocketInterface* m_pServer = nullptr;

protected:
    void OnAccept(int error) override;

private:
    void EndSession(std::uint64_t id);
    void StopSession(CClientSession& session);
    static void TrimQueue(std::string& queue, std::size_t limit);

    // The MIDI-data lock: guards the backlog, every session's `pending` and the
    // session list as the MIDI thread sees it. Taken after a send-socket lock,
    // never before one.
    std::recursive_mutex m_csMidiData;
    std::string m_midiData; // backlog while no app is connected
    std::size_t m_queueLimit = kQueueLimit;
    std::vector<std::unique_ptr<CClientSession>> m_sessions;
    std::uint64_t m_nextId = 1;
    bool m_readPaused = false;

    // Carries a failed session from its send thread to the user-interface
    // thread. Declared last so that it goes first: no posted call outlives us.
    pallorwind::platform::MainThreadPoster m_poster;
};

// The send thread of one session.
unsigned SendThreadProc(CListenSocket* listener, CClientSession* session);

} // namespace pallorwind::win
