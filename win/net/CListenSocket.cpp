#include "win/net/CListenSocket.h"

#include "platform/app/Log.h"

#include "protocol/MidiMessage.h"
#include "win/net/CCommuInterface.h"
#include "win/net/CSocketInterface.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pallorwind::win {

using pallorwind::platform::AsyncSocket;
namespace protocol = pallorwind::protocol;

CListenSocket::CListenSocket() = default;

CListenSocket::~CListenSocket() {
    // Stop and join every read and send thread before anything they use goes
    // away. Teardown reports no disconnects: the controller resets its own count.
    for (auto& session : m_sessions) {
        session->socket->StopReading();
        session->writer->Stop();
    }
    {
        std::lock_guard lock(m_csMidiData);
        m_sessions.clear();
    }
    Close();
}

void CListenSocket::OnAccept(int /*error*/) {
    auto socket = std::make_unique<CReceiveSocket>();
    if (AcceptApp(*socket, m_linkTimeouts, kAcceptRetryMs) != AsyncSocket::AcceptResult::Accepted)
        return; // none to serve now: the peer gave up, or the listener rests
    if (m_sessions.size() >= m_maxClients) {
        // Closed at once (`socket` goes here); one line for a run of them.
        m_refusing.Linef("%zu apps connected, the most served at once; refusing further "
                         "connections until one leaves",
                         m_sessions.size());
        return;
    }
    socket->m_pCommu = m_pCommu;
    socket->m_pRevIntface = this;

    auto session = std::make_unique<CClientSession>();
    const std::uint64_t id = m_nextId++;
    session->id = id;
    // A write that fails ends the session; it is released on the
    // user-interface thread, which owns its socket.
    session->writer = std::make_unique<platform::AppWriter>(
        socket->Handle(), m_queueLimit, platform::AppWriter::Overflow::DropOldest,
        [this, id](int) { m_poster.Post([this, id] { EndSession(id); }); });
    session->socket = std::move(socket);
    if (!session->writer->Start()) {
        // An app that could never hear the computer's MIDI is not served
        // half: it is closed (with `session`) and may connect again.
        char text[160];
        std::snprintf(text, sizeof text,
                      "Create thread sendSocket fail, error code: %d,\nrestart the program may "
                      "avoid this!",
                      session->writer->StartError());
        if (m_pCommu)
            m_pCommu->GetUserInterface().MessageBox(text, kCaption);
        return;
    }
    CReceiveSocket* reading = session->socket.get();
    if (m_pServer)
        m_pServer->OnClientConnected();
    {
        std::lock_guard lock(m_csMidiData);
        // The first app to connect receives what was played while none was.
        if (m_sessions.empty() && !m_midiData.empty()) {
            session->writer->Write(m_midiData);
            m_midiData.clear();
        }
        m_sessions.push_back(std::move(session));
    }
    // Listed first: the reader may find the app gone at once.
    if (!reading->StartReading(m_pCommu->GetReadGate())) {
        platform::Log::Linef("cannot read an app's records (%s); it is closed",
                             std::strerror(reading->StartError()));
        EndSession(id);
    }
}

void CListenSocket::OnClientClosed(CReceiveSocket* client) {
    // On the app's reading thread: the socket lives until that thread is
    // stopped, which only the session's end does, on the user-interface thread.
    std::lock_guard lock(m_csMidiData);
    for (const auto& session : m_sessions)
        if (session->socket.get() == client) {
            m_poster.Post([this, id = session->id] { EndSession(id); });
            return;
        }
}

void CListenSocket::ReleaseHeldNotes() {
    // The apps go with the server: nothing they send is played any more,
    // so nothing is held down again after it was let go.
    for (const auto& session : m_sessions) {
        session->socket->StopReading();
        session->socket->ReleaseHeldNotes();
    }
}

void CListenSocket::EndSession(std::uint64_t id) {
    const auto it = std::find_if(m_sessions.begin(), m_sessions.end(),
                                 [id](const auto& s) { return s->id == id; });
    if (it == m_sessions.end())
        return; // already ended from the other side
    (*it)->socket->StopReading();
    (*it)->socket->ReleaseHeldNotes();
    (*it)->writer->Stop();
    if (m_pServer)
        m_pServer->OnClientDisconnected();
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
        m_endedWrites += ended->writer->Writes();
    }
    m_refusing.Reset(); // a slot is free again
    // `ended` closes the socket here, on the thread that owns it.
}

void CListenSocket::Queue(const std::string& bytes) {
    if (bytes.empty())
        return;
    std::lock_guard lock(m_csMidiData);
    if (m_sessions.empty()) {
        m_midiData.append(bytes);
        platform::AppWriter::Trim(m_midiData, m_queueLimit);
        return;
    }
    // Each writer wakes its own thread; nothing here waits for the network.
    for (auto& session : m_sessions)
        session->writer->Write(bytes);
}

void CListenSocket::AddMidiData(std::uint32_t msg) {
    // Every message starts with its status byte; anything else is not MIDI.
    if (protocol::WordStatus(msg) < 0x80)
        return;
    std::string bytes;
    protocol::AppendShortMessage(bytes, msg);
    Queue(bytes);
}

void CListenSocket::AddMidiData(std::span<const std::uint32_t> msgs) {
    std::string bytes;
    bytes.reserve(3 * msgs.size());
    for (const std::uint32_t msg : msgs)
        if (protocol::WordStatus(msg) >= 0x80)
            protocol::AppendShortMessage(bytes, msg);
    Queue(bytes);
}

void CListenSocket::SetQueueLimit(std::size_t bytes) {
    std::lock_guard lock(m_csMidiData);
    m_queueLimit = bytes;
    for (auto& session : m_sessions)
        session->writer->SetLimit(bytes);
}

std::size_t CListenSocket::BacklogSize() {
    std::lock_guard lock(m_csMidiData);
    return m_midiData.size();
}

std::uint64_t CListenSocket::WriteCount() {
    std::lock_guard lock(m_csMidiData);
    std::uint64_t writes = m_endedWrites;
    for (const auto& session : m_sessions)
        writes += session->writer->Writes();
    return writes;
}

std::size_t CListenSocket::SendersWaitingForRoom() {
    std::lock_guard lock(m_csMidiData);
    return std::size_t(std::count_if(m_sessions.begin(), m_sessions.end(),
                                     [](const auto& s) { return s->writer->WaitingForRoom(); }));
}

} // namespace pallorwind::win
