#include "platform/midi/JackCycleClock.h"

#include "platform/midi/DeviceNames.h"

#include <jack/jack.h>

#include <string>
#include <thread>

namespace pallorwind::midi {

std::shared_ptr<JackCycleClock> JackCycleClock::Open() {
    std::shared_ptr<JackCycleClock> clock(new JackCycleClock);
    const std::string name = std::string(kOwnClientName) + "-clock";
    jack_status_t status{};
    clock->m_client = jack_client_open(name.c_str(), JackNoStartServer, &status);
    if (!clock->m_client)
        return nullptr;
    jack_set_process_callback(clock->m_client, &JackCycleClock::Process, clock.get());
    jack_on_shutdown(clock->m_client, &JackCycleClock::Shutdown, clock.get());
    clock->m_periodFrames = jack_get_buffer_size(clock->m_client);
    clock->m_sampleRate = jack_get_sample_rate(clock->m_client);
    if (jack_activate(clock->m_client) != 0)
        return nullptr; // the destructor closes the client
    return clock;
}

JackCycleClock::~JackCycleClock() {
    if (m_client)
        jack_client_close(m_client);
}

int JackCycleClock::Process(std::uint32_t, void* arg) {
    static_cast<JackCycleClock*>(arg)->m_cycles.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

void JackCycleClock::Shutdown(void* arg) {
    static_cast<JackCycleClock*>(arg)->m_alive.store(false, std::memory_order_release);
}

bool JackCycleClock::WaitPast(std::uint32_t seen, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // A cycle lasts a few milliseconds; polling at a fraction of it costs
    // little and needs nothing from the server's real-time thread.
    while (Cycles() == seen) {
        if (!Alive() || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

} // namespace pallorwind::midi
