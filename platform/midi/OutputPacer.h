// Hands a MIDI system that runs in cycles no more events per cycle than it can
// take: a sender that has used up this cycle's share waits for the next cycle,
// as it would wait for a slow cable.
#pragma once

#include "platform/midi/MidiDevices.h"

#include <chrono>
#include <cstdint>

namespace pallorwind::midi {

// The cycles of a MIDI system.
class CycleSource {
public:
    virtual ~CycleSource() = default;
    virtual std::uint32_t Cycles() const = 0;
    // Waits until a cycle after `seen` has begun; false after `timeout`.
    virtual bool WaitPast(std::uint32_t seen, std::chrono::milliseconds timeout) const = 0;
    // False once the MIDI system has gone away.
    virtual bool Alive() const = 0;
};

class OutputPacer {
public:
    OutputPacer(const CycleSource& cycles, unsigned perCycle, std::chrono::milliseconds stall)
        : m_cycles(cycles), m_perCycle(perCycle), m_stall(stall), m_window(cycles.Cycles()) {}

    // Call before handing one event over. Blocks while this cycle's share is
    // used up. kMidiNotReady when the system has gone or runs no more cycles:
    // then the event must not be handed over. A system that stalled fails
    // every event at once until its cycles run again, so that a sender is
    // not held for the whole timeout per event.
    MidiResult Admit() {
        if (!m_cycles.Alive())
            return kMidiNotReady;
        const std::uint32_t now = m_cycles.Cycles();
        if (now != m_window) {
            m_window = now;
            m_sent = 0;
            m_stalled = false;
        }
        if (m_sent >= m_perCycle) {
            if (m_stalled || !m_cycles.WaitPast(m_window, m_stall)) {
                m_stalled = true;
                return kMidiNotReady;
            }
            m_window = m_cycles.Cycles();
            m_sent = 0;
        }
        ++m_sent;
        return kMidiOk;
    }

private:
    const CycleSource& m_cycles;
    const unsigned m_perCycle;
    const std::chrono::milliseconds m_stall;
    std::uint32_t m_window;
    unsigned m_sent = 0;
    bool m_stalled = false;
};

} // namespace pallorwind::midi
