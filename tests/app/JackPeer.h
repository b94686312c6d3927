// A JACK client standing in for a synthesizer and a keyboard in tests: one
// MIDI input port that records everything it receives and one MIDI output
// port to play into the bridge.
#pragma once

#include <rtmidi/RtMidi.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pallorwind::testing {

class JackPeer {
public:
    using Message = std::vector<std::uint8_t>;

    // Ports "<client>:in" and "<client>:out".
    explicit JackPeer(const std::string& client)
        : m_in(std::make_unique<RtMidiIn>(RtMidi::UNIX_JACK, client)),
          m_out(std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, client + "-src")) {
        m_in->ignoreTypes(false, false, false);
        m_in->setCallback(&JackPeer::Received, this);
        m_in->openVirtualPort("in");
        m_out->openVirtualPort("out");
    }
    ~JackPeer() { Close(); }

    // Ends the JACK clients (the ports disappear).
    void Close() {
        m_in.reset();
        if (m_out) {
            // RtMidi's JACK output frees its ring buffer before closing its
            // client: close the port and let the cycle in flight end first.
            m_out->closePort();
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            m_out.reset();
        }
    }

    void Play(const Message& message) { m_out->sendMessage(&message); }

    // Waits until at least `count` messages have arrived.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(m_lock);
        return m_cv.wait_for(lock, timeout, [&] { return m_received.size() >= count; });
    }
    std::vector<Message> Received() {
        std::lock_guard lock(m_lock);
        return m_received;
    }
    std::vector<std::chrono::steady_clock::time_point> ArrivalTimes() {
        std::lock_guard lock(m_lock);
        return m_times;
    }
    std::size_t Count() {
        std::lock_guard lock(m_lock);
        return m_received.size();
    }

private:
    static void Received(double, std::vector<unsigned char>* message, void* self) {
        auto* peer = static_cast<JackPeer*>(self);
        {
            std::lock_guard lock(peer->m_lock);
            peer->m_received.emplace_back(message->begin(), message->end());
            peer->m_times.push_back(std::chrono::steady_clock::now());
        }
        peer->m_cv.notify_all();
    }

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<Message> m_received;
    std::vector<std::chrono::steady_clock::time_point> m_times;
    std::unique_ptr<RtMidiIn> m_in;
    std::unique_ptr<RtMidiOut> m_out;
};

} // namespace pallorwind::testing
