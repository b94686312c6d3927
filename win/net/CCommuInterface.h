// The controller as the network link sees it.
#pragma once

#include "platform/net/AppReader.h"
#include "platform/ui/UserInterface.h"

#include <cstdint>
#include <span>
#include <string>

namespace pallorwind::win {

// The caption of the bridge's messages.
inline constexpr const char* kCaption = "PallorwindWin";

// Connect and disconnect notices and SetPort are always called on the
// user-interface thread; SendMidiOut on the apps' reading threads (several at
// once) and on the user-interface thread.
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
    // Plays one short-message word (status in bits 0-7); 0 when taken. Never
    // waits: while the MIDI output cannot take more, the apps' reading pauses.
    // Any thread.
    virtual int SendMidiOut(std::uint32_t msg) = 0;
    // The messages of one read, in order, as SendMidiOut does each; what the
    // last one gave.
    virtual int SendMidiOutBatch(std::span<const std::uint32_t> msgs) {
        int result = 0;
        for (const std::uint32_t msg : msgs)
            result = SendMidiOut(msg);
        return result;
    }
    virtual bool GetDisplayBonjourMsg() = 0;
    // The registration-failure dialog was closed with OK.
    virtual void SetDisplayBonjourMsg(bool /*display*/) {}
    // Where the network link tells the user things (any thread; requests
    // are shown later from the event loop).
    virtual pallorwind::platform::UserInterface& GetUserInterface() = 0;
    // The gate every app's reader waits at: shut while the MIDI output
    // cannot take more. One for all servers, one after another.
    virtual pallorwind::platform::ReadGate& GetReadGate() = 0;

    virtual ~CCommuInterface() = default;
};

} // namespace pallorwind::win
