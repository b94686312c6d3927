#include "win/net/CListenSocket.h"

#include "protocol/MidiMessage.h"
#include "win/net/CCommuInterface.h"
#include "win/net/CSocketInterface.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace pallorwind::win {

using pallorwind::platform::AsyncSocket;
namespace protocol = pallorwind::protocol;

CListenSocket::CListenSocket() = default;

CListenSocket::~CListenSocket() {
    // Stop and join every send thread before anything they use goes away.
    // Teardown reports no disconnects: the controller resets its own count.
    for (auto& session : m_sessions)
        RequestStop(*session);
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
    if (!Accept(*session->socket)) {
        const int error = AsyncSocket::LastError();
        if (AsyncSocket::IsOutOfResources(error)) {
            // The connection stays pending, and the listener would be told of
            // it again at once, for as long as descriptors are short: rest a
            // while instead of spinning.
            if (!m_acceptStarved)
                std::fprintf(stderr,
                             "pallorwind: cannot accept a connection (%s); trying again every "
                             "%d ms\n",
                             std::strerror(error), kAcceptRetryMs);
            m_acceptStarved = true;
            PauseNotices(kAcceptRetryMs);
        }
        // Otherwise the peer gave up meanwhile: no connection, nothing reported.
        return;
    }
    m_acceptStarved = false;
    if (m_sessions.size() >= m_maxClients) {
        // Closed at once (`session` goes here); one line for a run of them.
        if (!m_refusing)
            std::fprintf(stderr,
                         "pallorwind: %zu apps connected, the most served at once; refusing "
                         "further connections until one leaves\n",
                         m_sessions.size());
        m_refusing = true;
        return;
    }
    session->socket->SetNoDelay();
    session->socket->SetSendBuffer(kSendBuffer);
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
        if (m_pCommu)
            m_pCommu->GetUserInterface().MessageBox(text, kCaption);
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
    m_refusing = false; // a slot is free again
    // `ended` closes the socket here, on the thread that owns it.
}

void CListenSocket::RequestStop(CClientSession& session) {
    {
        // Under the MIDI-data lock: a send thread about to wait for MIDI
        // either sees the request or is already waiting when it is signalled.
        std::lock_guard lock(m_csMidiData);
        session.stop = true;
    }
    m_midiQueued.notify_all();
}

void CListenSocket::StopSession(CClientSession& session) {
    RequestStop(session);
    if (session.sendThread.joinable())
        session.sendThread.join();
}

bool CListenSocket::Append(std::uint32_t msg) {
    std::uint8_t bytes[3];
    // Every message starts with its status byte; anything else is not MIDI.
    if (protocol::WordStatus(msg) < 0x80)
        return false;
    const auto size = std::size_t(protocol::EncodeShortMessage(msg, bytes));
    const char* data = reinterpret_cast<const char*>(bytes);
    if (m_sessions.empty()) {
        m_midiData.append(data, size);
        TrimQueue(m_midiData, m_queueLimit);
        return false;
    }
    bool wake = false;
    for (auto& session : m_sessions) {
        wake = wake || session->pending.empty();
        session->pending.append(data, size);
        TrimQueue(session->pending, m_queueLimit);
    }
    return wake;
}

void CListenSocket::AddMidiData(std::uint32_t msg) {
    bool wake = false;
    {
        std::lock_guard lock(m_csMidiData);
        wake = Append(msg);
    }
    // Signalled after the lock is released, so that a woken send thread does
    // not wait for it. Nothing here waits for the network.
    if (wake)
        m_midiQueued.notify_all();
}

void CListenSocket::AddMidiData(std::span<const std::uint32_t> msgs) {
    bool wake = false;
    {
        std::lock_guard lock(m_csMidiData);
        for (const std::uint32_t msg : msgs)
            wake = Append(msg) || wake;
    }
    if (wake)
        m_midiQueued.notify_all();
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

std::size_t CListenSocket::SendersWaitingForRoom() {
    std::lock_guard lock(m_csMidiData);
    return std::size_t(std::count_if(m_sessions.begin(), m_sessions.end(),
                                     [](const auto& s) { return s->waitingForRoom.load(); }));
}

bool CListenSocket::SendPending(CClientSession& session) {
    if (session.unsent.empty()) {
        // An idle session costs nothing: the thread sleeps until MIDI is
        // queued for its app or the session is to end. It holds no socket
        // lock meanwhile; only writing needs one.
        std::unique_lock dataLock(m_csMidiData);
        m_midiQueued.wait(dataLock, [&] { return session.stop || !session.pending.empty(); });
        if (session.stop)
            return false;
        session.unsent.swap(session.pending);
    }
    std::lock_guard sendLock(session.csSendSocket);
    if (session.stop || !session.socket || !session.socket->IsOpen())
        return false;
    // Everything queued since the last write goes out in one write.
    ++m_writes;
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
    // The app is not reading fast enough: keep the rest, in order, and wait
    // for room, looking for a stop request now and then.
    if (!session.unsent.empty()) {
        session.waitingForRoom = true;
        while (!session.stop && !session.socket->WaitWritable(kRoomWaitMs)) {
        }
        session.waitingForRoom = false;
    }
    return true;
}

unsigned SendThreadProc(CListenSocket* listener, CClientSession* session) {
    while (!session->stop && listener->SendPending(*session)) {
    }
    return 0;
}

} // namespace pallorwind::win
