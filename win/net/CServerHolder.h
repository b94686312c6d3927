// Holds the controller's one server and hands it to the MIDI input thread
// safely: the server is never destroyed while that thread is queueing into it.
#pragma once

#include "win/net/TCPServer.h"

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>

namespace pallorwind::win {

class CServerHolder {
public:
    // Deletes the current server, then builds a new one (user-interface
    // thread). The old one lets go of its port first, so a restart on the
    // port it had keeps that port rather than drifting to another.
    void RestartServer(CCommuInterface* commu, const std::string& name, const std::string& port,
                       const ServiceAdvertiserFactory& advertiser = {});
    // Replaces the server; the old one lets go of the notes its apps hold,
    // and is destroyed after it is withdrawn from the MIDI thread's view
    // (user-interface thread).
    void SetServer(std::unique_ptr<TCPServer> server);
    void DeleteServer() { SetServer(nullptr); }
    // The current server, for the user-interface thread.
    TCPServer* Server() const { return m_server.get(); }

    // Queues one message for the apps if there is a server; any thread.
    void AddMidiData(std::uint32_t msg);

protected:
    ~CServerHolder();

private:
    mutable std::shared_mutex m_lock;
    std::unique_ptr<TCPServer> m_server;
};

} // namespace pallorwind::win
