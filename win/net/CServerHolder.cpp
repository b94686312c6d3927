#include "win/net/CServerHolder.h"

#include <mutex>

namespace pallorwind::win {

CServerHolder::~CServerHolder() {
    // The owner is going: nothing is played any more, only torn down.
    std::unique_ptr<TCPServer> old;
    {
        std::unique_lock lock(m_lock);
        old = std::move(m_server);
    }
}

void CServerHolder::SetServer(std::unique_ptr<TCPServer> server) {
    // The apps go with the server: what they hold down is let go first.
    if (m_server)
        m_server->m_listenSocket.ReleaseHeldNotes();
    std::unique_ptr<TCPServer> old;
    {
        std::unique_lock lock(m_lock);
        old = std::move(m_server);
        m_server = std::move(server);
    }
    // Destroyed outside the lock: its teardown joins send threads, which must
    // not wait for a MIDI callback that waits for us.
}

void CServerHolder::RestartServer(CCommuInterface* commu, const std::string& name,
                                  const std::string& port,
                                  const ServiceAdvertiserFactory& advertiser) {
    // Withdrawn under the lock, so the MIDI thread never reaches a server
    // being torn down, and gone with its advertisement and its sockets
    // before the new one binds.
    DeleteServer();
    SetServer(std::make_unique<TCPServer>(commu, name, port, advertiser));
}

void CServerHolder::AddMidiData(std::uint32_t msg) {
    std::shared_lock lock(m_lock);
    if (m_server)
        m_server->m_listenSocket.AddMidiData(msg);
}

} // namespace pallorwind::win
