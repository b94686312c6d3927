// The computer's MIDI devices as the bridge uses them: counted and named by
// index, opened by index, short messages out, short messages in through a
// callback on a thread of the MIDI layer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pallorwind::midi {

// Result of a MIDI-system operation; 0 is success, everything else a failure.
using MidiResult = unsigned;
inline constexpr MidiResult kMidiOk = 0;
inline constexpr MidiResult kMidiError = 1;         // unspecified failure
inline constexpr MidiResult kMidiBadDeviceId = 2;   // no device at that index (any more)
inline constexpr MidiResult kMidiAllocated = 4;     // a device of that kind is already open
inline constexpr MidiResult kMidiInvalidHandle = 5; // no device open
inline constexpr MidiResult kMidiBadMessage = 65;   // not a short message
inline constexpr MidiResult kMidiNotReady = 67;     // the MIDI system stopped taking messages
inline constexpr MidiResult kMidiWouldWait = 100; // TryShortMsg: it cannot be taken without waiting

// Called on a thread of the MIDI layer (never the caller's) with one short message: status byte in
// bits 0-7, data bytes in bits 8-15 and 16-23. System exclusive is never
// delivered; timing clock and active sensing are.
using MidiInCallback = std::function<void(std::uint32_t word)>;

// An open input device. Destroying it closes the device; once the destructor
// has returned the callback is not running and is never called again.
class MidiInDevice {
public:
    virtual ~MidiInDevice() = default;
    // Lets messages flow to the callback.
    virtual MidiResult Start() = 0;
};

// An open output device. Destroying it closes the device.
class MidiOutDevice {
public:
    virtual ~MidiOutDevice() = default;
    // Sends the bytes of `word` that its status byte calls for. Blocks, like a
    // real MIDI cable, while the MIDI system cannot take more; it never drops
    // a message it reported as sent.
    virtual MidiResult ShortMsg(std::uint32_t word) = 0;
    // The same without ever waiting: kMidiWouldWait (nothing sent) where
    // ShortMsg would wait, or might. Cheap where it succeeds, so a caller
    // that must not wait can play here and hand only the rest to a thread.
    virtual MidiResult TryShortMsg(std::uint32_t /*word*/) { return kMidiWouldWait; }
};

// Opens at most one input and one output device at a time (a second open of
// the same kind fails with kMidiAllocated). Devices may outlive the system.
class MidiSystem {
public:
    virtual ~MidiSystem() = default;

    // Counting takes a new snapshot of the devices of that kind; names and
    // opens by index refer to the latest snapshot.
    virtual unsigned InCount() = 0;
    virtual MidiResult InName(unsigned index, std::string& name) = 0;
    virtual MidiResult OpenIn(unsigned index, MidiInCallback callback,
                              std::unique_ptr<MidiInDevice>& device) = 0;

    virtual unsigned OutCount() = 0;
    virtual MidiResult OutName(unsigned index, std::string& name) = 0;
    virtual MidiResult OpenOut(unsigned index, std::unique_ptr<MidiOutDevice>& device) = 0;
};

enum class MidiApi {
    FromEnvironment, // PALLORWIND_MIDI_API=alsa|jack, otherwise Auto
    Auto,            // ALSA sequencer, or JACK where ALSA cannot be opened
    Alsa,
    Jack,
};

// Receives the lines a user may want to read: which MIDI system was found, a
// server that went away or came back. Called on any thread, one line a call.
using MidiLogSink = std::function<void(const std::string& line)>;

struct MidiSystemOptions {
    // The name other programs see our ports under ("NAME:in", "NAME:out").
    std::string clientName;
    // Null: the lines are dropped.
    MidiLogSink log;
};

// The computer's MIDI system: the ALSA sequencer, or JACK. Says in one line
// through `options.log` which one was found, or that none was.
std::unique_ptr<MidiSystem> CreateMidiSystem(const MidiSystemOptions& options,
                                             MidiApi api = MidiApi::FromEnvironment);
// The same, named after the running program, without log lines.
std::unique_ptr<MidiSystem> CreateMidiSystem(MidiApi api = MidiApi::FromEnvironment);

} // namespace pallorwind::midi
