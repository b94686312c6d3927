// The controller as the network link sees it.
#pragma once

#include <cstdint>
#include <string>

namespace pallorwind::win {

// Connect and disconnect notices, SetPort and SendMidiOut are always called on
// the user-interface thread.
class CCommuInterface {
public:
    // A connection was accepted.
    virtual void OnClientConnected() {}
    // A client session ended (once for every connect).
    virtual void OnClientDisconnected() {}
    // The service name was refused by DNS-SD; the controller discards the server.
    virtual void OnServerFailed() {}
    // The port the server actually listens on, as decimal text.
    virtual void SetPort(std::string /*port*/) {}
    // Plays one short-message word (status in bits 0-7); 0 when played. May
    // block while the MIDI output cannot take more, as a real MIDI cable does.
    virtual int SendMidiOut(std::uint32_t msg) = 0;
    virtual bool GetDisplayBonjourMsg() = 0;
    // The registration-failure dialog was closed with OK.
    virtual void SetDisplayBonjourMsg(bool /*display*/) {}

    virtual ~CCommuInterface() = default;
};

} // namespace pallorwind::win
