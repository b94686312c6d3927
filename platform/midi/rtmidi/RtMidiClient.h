// What every user of RtMidi in this layer shares: one RtMidi object (an
// RtMidiIn or RtMidiOut, each a client of the ALSA sequencer) whose errors
// are noted, and told to a log sink where there is one, instead of printed.
#pragma once

#include "platform/midi/MidiDevices.h"

#include <rtmidi/RtMidi.h>

#include <atomic>
#include <string>
#include <utility>

namespace pallorwind::midi {

// RtMidi's error callback's half: what went wrong since the last Clear.
class RtMidiErrors {
public:
    explicit RtMidiErrors(MidiLogSink log) : m_log(std::move(log)) {}
    bool Failed() const { return m_failed.load(); }
    void Clear() { m_failed.store(false); }

protected:
    // RtMidi's error callback, with `errors` the RtMidiErrors.
    static void Note(RtMidiError::Type type, const std::string& text, void* errors);

private:
    std::atomic<bool> m_failed{false};
    const MidiLogSink m_log; // "ALSA: " and RtMidi's text
};

// `Rt` is RtMidiIn or RtMidiOut. Constructing it throws RtMidiError where
// the sequencer cannot be opened.
template <typename Rt> class RtMidiClient final : public RtMidiErrors {
public:
    explicit RtMidiClient(const std::string& clientName, MidiLogSink log = {})
        : RtMidiErrors(std::move(log)), m_rt(RtMidi::LINUX_ALSA, clientName) {
        m_rt.setErrorCallback(&RtMidiErrors::Note, static_cast<RtMidiErrors*>(this));
    }
    Rt& operator*() { return m_rt; }
    Rt* operator->() { return &m_rt; }
    const Rt* operator->() const { return &m_rt; }

private:
    Rt m_rt; // last: closed before the errors go
};

} // namespace pallorwind::midi
