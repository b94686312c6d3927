#include "win/net/CListenSocket.h"

#include "platform/ui/MessageBox.h"
#include "protocol/MidiMessage.h"
#include "win/net/CCommuInterface.h"
#include "win/net/CSocketInterface.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace pallorwind::win {

using pallorwind::platform::AsyncSocket;
namespace protocol = pallorwind::protocol;

CListenSocket::CListenSocket() = default;

CListenSocket::~CListenSocket() {
    // Stop and join every send thread before anything they use goes away.
    // Teardown reports no disconnects: the controller resets its own count.
    for (auto& session : m_sessions)
        session->RequestStop();
    for (auto& session : m_sessions)
        StopSession(*session);
    {
        std::lock_guard lock(m_csMidiData);
        m_sessions.clear();
    }
    Close();
}

void CListenSocket::OnAccept(int /*error*/) {
    auto session = std::make_unique<CClientSession>();
    session->socket = std::make_unique<CReceiveSocket>();
    session->socket->m_pCommu = m_pCommu;
    // A failed accept is no connection: nothing is reported.
    if (!Accept(*session->socket))
        return;
    session->socket->SetNoDelay();
    session->socket->SetReadEnabled(!m_readPaused);
    session->socket->m_pRevIntface = this;
    session->id = m_nextId++;
    if (m_pServer)
        m_pServer->OnClientConnected();

    CClientSession* raw = session.get();
    {
        std::lock_guard lock(m_csMidiData);
        // The first app to connect receives what was played while none was.
        if (m_sessions.empty())
            raw->pending.swap(m_midiData);
        m_sessions.push_back(std::move(session));
    }
    try {
        raw->sendThread = std::thread(SendThreadProc, this, raw);
    } catch (const std::system_error& e) {
        // The session goes on one way: the app's records are still played.
        char text[160];
        std::snprintf(text, sizeof text,
                      "Create thread sendSocket fail, error code: %d,\nrestart the program may "
                      "avoid this!",
                      e.code().value());
        pallorwind::platform::ShowMessage(text, "PallorwindWin");
    }
}

void CListenSocket::PauseReading(bool paused) {
    m_readPaused = paused;
    for (const auto& session : m_sessions)
        session->socket->SetReadEnabled(!paused);
}

void CListenSocket::OnClientClosed(CReceiveSocket* client) {
    for (const auto& session : m_sessions)
        if (session->socket.get() == client) {
            EndSession(session->id);
            return;
        }
}

void CListenSocket::EndSession(std::uint64_t id) {
    const auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                                 [id](const auto& s) { return s->id == id; });
    if (it == m_sessions.end())
        return; // already ended from the other side
    if (m_pServer)
        m_pServer->OnClientDisconnected();
    StopSession(**it);
    std::unique_ptr<CClientSession> ended;
    {
        std::lock_guard lock(m_csMidiData);
        // Take it out by identity: OnClientDisconnected may have changed the list.
        const auto at = std::find_if(m_sessions.begin(), m_sessions.end(),
                                     [id](const auto& s) { return s->id == id; });
        if (at == m_sessions.end())
            return;
        ended = std::move(*at);
        m_sessions.erase(at);
    }
    // `ended` closes the socket here, on the thread that owns it.
}

void CListenSocket::StopSession(CClientSession& session) {
    session.RequestStop();
    if (session.sendThread.joinable())
        session.sendThread.join();
}

void CListenSocket::AddMidiData(std::uint32_t msg) {
    std::uint8_t bytes[3];
    // Every message starts with its status byte; anything else is not MIDI.
    if (protocol::WordStatus(msg) < 0x80)
        return;
    const auto size = std::size_t(protocol::EncodeShortMessage(msg, bytes));
    const char* data = reinterpret_cast<const char*>(bytes);
    std::lock_guard lock(m_csMidiData);
    if (m_sessions.empty()) {
        m_midiData.append(data, size);
        TrimQueue(m_midiData, m_queueLimit);
        return;
    }
    for (auto& session : m_sessions) {
        session->pending.append(data, size);
        TrimQueue(session->pending, m_queueLimit);
    }
}

void CListenSocket::TrimQueue(std::string& queue, std::size_t limit) {
    if (queue.size() <= limit)
        return;
    // Queues hold whole messages only, so walking by message length from the
    // front stays on message boundaries.
    std::size_t drop = 0;
    while (queue.size() - drop > limit)
        drop += std::size_t(protocol::MessageLength(std::uint8_t(queue[drop])));
    queue.erase(0, drop);
}

void CListenSocket::SetQueueLimit(std::size_t bytes) {
    std::lock_guard lock(m_csMidiData);
    m_queueLimit = bytes;
}

std::size_t CListenSocket::BacklogSize() {
    std::lock_guard lock(m_csMidiData);
    return m_midiData.size();
}

bool CListenSocket::SendPending(CClientSession& session) {
    std::lock_guard sendLock(session.csSendSocket);
    if (session.stop || !session.socket || !session.socket->IsOpen())
        return false;
    if (session.unsent.empty()) {
        std::lock_guard dataLock(m_csMidiData);
        session.unsent.swap(session.pending);
    }
    if (session.unsent.empty()) {
        session.Pause(kIdleWaitMs);
        return true;
    }
    // Everything queued since the last step goes out in one write.
    const long sent = session.socket->Send(session.unsent.data(), session.unsent.size());
    if (sent < 0) {
        const int error = AsyncSocket::LastError();
        if (!AsyncSocket::IsWouldBlock(error)) {
            // A real error ends the session; it is released on the
            // user-interface thread, which owns its socket.
            const std::uint64_t id = session.id;
            m_poster.Post([this, id] { EndSession(id); });
            return false;
        }
    } else {
        session.unsent.erase(0, std::size_t(sent));
    }
    // The app is not reading fast enough: keep the rest, in order, for the
    // next step, and wait for room rather than spin.
    if (!session.unsent.empty())
        session.socket->WaitWritable(kIdleWaitMs);
    return true;
}

unsigned SendThreadProc(CListenSocket* listener, CClientSession* session) {
    while (!session->stop && listener->SendPending(*session)) {
    }
    return 0;
}

} // namespace pallorwind::win
