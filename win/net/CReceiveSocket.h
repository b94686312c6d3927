// One app's connection: decodes its MIDI records and plays them, and keeps
// what they hold down so that it can be let go when the app goes.
#pragma once

#include "platform/net/AsyncSocket.h"
#include "protocol/AppStream.h"
#include "protocol/HeldNotes.h"

#include <cstdint>

namespace pallorwind::win {

class CCommuInterface;
class CSocketRevIntface;

class CReceiveSocket : public pallorwind::platform::AsyncSocket {
public:
    CReceiveSocket();
    ~CReceiveSocket() override;

    // Plays a note off for every note this app left on and lifts the pedals
    // it left down; afterwards it holds nothing (user-interface thread).
    void ReleaseHeldNotes();

    CCommuInterface* m_pCommu = nullptr;
    CSocketRevIntface* m_pRevIntface = nullptr;

protected:
    // A read; one that finds the app gone ends the session.
    void OnReceive(int error) override;

private:
    void Ended();

    // What the stream hands out.
    struct Player {
        CReceiveSocket& socket;
        void Message(std::uint32_t word);
        void LayoutReceived(pallorwind::protocol::Layout&&) {}
        void LayoutRefused(std::uint64_t) {}
    };

    // Carries a record split across reads over to the next read.
    pallorwind::protocol::AppStreamReader m_reader{/*carriesLayouts*/ false};
    pallorwind::protocol::HeldNotes m_held;
};

} // namespace pallorwind::win
