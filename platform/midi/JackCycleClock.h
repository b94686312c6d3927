// Paces output to a JACK server: counts its process cycles so that a sender
// never hands one cycle more MIDI events than a port buffer can hold.
#pragma once

#include "platform/midi/OutputPacer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

struct _jack_client;

namespace pallorwind::midi {

class JackCycleClock final : public CycleSource {
public:
    // Opens a port-less JACK client on the default server; null when no
    // server can be reached.
    static std::shared_ptr<JackCycleClock> Open();
    ~JackCycleClock() override;
    JackCycleClock(const JackCycleClock&) = delete;
    JackCycleClock& operator=(const JackCycleClock&) = delete;

    // Number of process cycles run so far.
    std::uint32_t Cycles() const override { return m_cycles.load(std::memory_order_acquire); }
    // Waits until a cycle after `seen` has begun; false when none came within
    // `timeout` (the server stalled or went away).
    bool WaitPast(std::uint32_t seen, std::chrono::milliseconds timeout) const override;
    bool Alive() const override { return m_alive.load(std::memory_order_acquire); }

    std::uint32_t PeriodFrames() const { return m_periodFrames; }
    std::uint32_t SampleRate() const { return m_sampleRate; }

private:
    JackCycleClock() = default;
    static int Process(std::uint32_t frames, void* arg);
    static void Shutdown(void* arg);

    _jack_client* m_client = nullptr;
    std::atomic<std::uint32_t> m_cycles{0};
    std::atomic<bool> m_alive{true};
    std::uint32_t m_periodFrames = 0;
    std::uint32_t m_sampleRate = 0;
};

} // namespace pallorwind::midi
