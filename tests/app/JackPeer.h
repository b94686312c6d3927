// A JACK client standing in for a synthesizer and a keyboard in tests: one
// MIDI input port that records everything it receives and one MIDI output
// port to play into the bridge. On libjack directly, so that closing it waits
// for its process cycles to end rather than for a guessed time.
#pragma once

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pallorwind::testing {

class JackPeer {
public:
    using Message = std::vector<std::uint8_t>;

    // Ports "<client>:in" and "<client>-src:out".
    explicit JackPeer(const std::string& client) {
        m_sink = Open(client);
        m_source = Open(client + "-src");
        if (!m_sink || !m_source) {
            Close();
            throw std::runtime_error("JackPeer: no JACK client " + client);
        }
        m_in = jack_port_register(m_sink, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        m_out = jack_port_register(m_source, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(m_sink, &JackPeer::Record, this);
        jack_set_process_callback(m_source, &JackPeer::PlayQueued, this);
        if (!m_in || !m_out || jack_activate(m_sink) != 0 || jack_activate(m_source) != 0) {
            Close();
            throw std::runtime_error("JackPeer: cannot set up " + client);
        }
    }
    ~JackPeer() { Close(); }
    JackPeer(const JackPeer&) = delete;
    JackPeer& operator=(const JackPeer&) = delete;

    // Ends the JACK clients (the ports disappear). Closing a client returns
    // once its process thread has stopped, so nothing it reads is freed early.
    void Close() {
        for (jack_client_t** client : {&m_sink, &m_source})
            if (*client) {
                jack_client_close(*client);
                *client = nullptr;
            }
    }

    // Played with the next cycle (several in one cycle, in order).
    void Play(const Message& message) {
        std::lock_guard lock(m_lock);
        m_toPlay.push_back(message);
    }

    // Waits until at least `count` messages have arrived.
    bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(m_lock);
        return m_cv.wait_for(lock, timeout, [&] { return m_sizes.size() >= count; });
    }
    std::vector<Message> Received() {
        std::lock_guard lock(m_lock);
        std::vector<Message> messages;
        messages.reserve(m_sizes.size());
        auto byte = m_bytes.begin();
        for (const std::uint32_t size : m_sizes) {
            messages.emplace_back(byte, byte + size);
            byte += size;
        }
        return messages;
    }
    std::vector<std::chrono::steady_clock::time_point> ArrivalTimes() {
        std::lock_guard lock(m_lock);
        std::vector<std::chrono::steady_clock::time_point> times;
        times.reserve(m_sizes.size());
        for (const auto& [time, count] : m_cycles)
            times.insert(times.end(), count, time);
        return times;
    }
    std::chrono::steady_clock::time_point LastArrival() {
        std::lock_guard lock(m_lock);
        return m_cycles.empty() ? std::chrono::steady_clock::time_point{} : m_cycles.back().first;
    }
    std::size_t Count() {
        std::lock_guard lock(m_lock);
        return m_sizes.size();
    }

private:
    static jack_client_t* Open(const std::string& name) {
        return jack_client_open(name.c_str(), jack_options_t(JackNoStartServer | JackUseExactName),
                                nullptr);
    }

    // A test double, so it locks in the process thread; once per cycle, and
    // it allocates rarely (a flood brings some 2,700 messages a cycle).
    // Not instrumented under ThreadSanitizer: see PALLORWIND_JACK_CYCLE in
    // platform/midi/jack/JackClient.h.
#if defined(__SANITIZE_THREAD__)
    __attribute__((no_sanitize("thread")))
#endif
    static int
    Record(jack_nframes_t frames, void* self) {
        auto* peer = static_cast<JackPeer*>(self);
        void* buffer = jack_port_get_buffer(peer->m_in, frames);
        const std::uint32_t count = jack_midi_get_event_count(buffer);
        if (count == 0)
            return 0;
        // Gathered on the stack first (a port buffer holds 32 KiB), then
        // appended under the lock in one go.
        std::uint8_t bytes[32768];
        std::uint32_t sizes[32768 / 8];
        std::size_t used = 0, n = 0;
        for (std::uint32_t i = 0; i < count && n < std::size(sizes); ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0 || used + event.size > sizeof bytes)
                continue;
            std::memcpy(bytes + used, event.buffer, event.size);
            used += event.size;
            sizes[n++] = std::uint32_t(event.size);
        }
        const auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(peer->m_lock);
            peer->m_bytes.insert(peer->m_bytes.end(), bytes, bytes + used);
            peer->m_sizes.insert(peer->m_sizes.end(), sizes, sizes + n);
            peer->m_cycles.emplace_back(now, n);
        }
        peer->m_cv.notify_all();
        return 0;
    }

#if defined(__SANITIZE_THREAD__)
    __attribute__((no_sanitize("thread")))
#endif
    static int
    PlayQueued(jack_nframes_t frames, void* self) {
        auto* peer = static_cast<JackPeer*>(self);
        void* buffer = jack_port_get_buffer(peer->m_out, frames);
        jack_midi_clear_buffer(buffer);
        std::lock_guard lock(peer->m_lock);
        while (!peer->m_toPlay.empty()) {
            const Message& m = peer->m_toPlay.front();
            if (jack_midi_max_event_size(buffer) < m.size())
                break;
            jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, m.size());
            if (!data)
                break;
            std::copy(m.begin(), m.end(), data);
            peer->m_toPlay.pop_front();
        }
        return 0;
    }

    std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<std::uint8_t> m_bytes; // every message received, back to back
    std::vector<std::uint32_t> m_sizes;
    // When messages arrived: a time and how many came then.
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::size_t>> m_cycles;
    std::deque<Message> m_toPlay;
    jack_client_t* m_sink = nullptr;
    jack_client_t* m_source = nullptr;
    jack_port_t* m_in = nullptr;
    jack_port_t* m_out = nullptr;
};

} // namespace pallorwind::testing
