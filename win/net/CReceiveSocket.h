// One app's connection: decodes its MIDI records and plays them, and keeps
// what they hold down so that it can be let go when the app goes. Its records
// are read on a thread of its own, straight into the MIDI output.
#pragma once

#include "platform/net/AppReader.h"
#include "platform/net/AsyncSocket.h"
#include "protocol/AppStream.h"
#include "protocol/HeldNotes.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace pallorwind::win {

class CCommuInterface;
class CSocketRevIntface;

class CReceiveSocket : public pallorwind::platform::AsyncSocket {
public:
    CReceiveSocket();
    ~CReceiveSocket() override;

    // Reads and plays the app's records from now on, while `gate` is open,
    // on a thread of its own. When the app closes or fails, that thread
    // tells m_pRevIntface. False when no thread can be made; StartError()
    // says why.
    bool StartReading(pallorwind::platform::ReadGate& gate);
    int StartError() const;
    // Ends the reading; nothing more of this app is played afterwards
    // (user-interface thread).
    void StopReading();

    // Plays a note off for every note this app left on and lifts the pedals
    // it left down; afterwards it holds nothing. In order with the records
    // being played (any thread).
    void ReleaseHeldNotes();

    CCommuInterface* m_pCommu = nullptr;
    CSocketRevIntface* m_pRevIntface = nullptr;

private:
    // What one read brought (the reading thread).
    void Received(const std::uint8_t* data, std::size_t size);
    void Ended();

    // What the stream hands out.
    struct Player {
        CReceiveSocket& socket;
        void Message(std::uint32_t word);
        void LayoutReceived(pallorwind::protocol::Layout&&) {}
        void LayoutRefused(std::uint64_t) {}
    };

    // Guards the stream and the held notes: the reading thread plays, the
    // user-interface thread lets go.
    std::mutex m_playLock;
    // Carries a record split across reads over to the next read.
    pallorwind::protocol::AppStreamReader m_stream{/*carriesLayouts*/ false};
    pallorwind::protocol::HeldNotes m_held;
    // The messages of the read being played, handed on together.
    std::vector<std::uint32_t> m_batch;
    std::unique_ptr<pallorwind::platform::AppReader> m_reader;
};

} // namespace pallorwind::win
