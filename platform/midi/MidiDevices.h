// The computer's MIDI devices as the bridge uses them: listed with their
// names, opened by their place in a list, short messages out, short messages
// in through a callback on a thread of the MIDI layer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pallorwind::midi {

// How a MIDI-system operation ended.
enum class MidiResult : std::uint8_t {
    Ok,
    Error,       // unspecified failure
    BadDeviceId, // no device at that place (any more)
    Allocated,   // a device of that kind is already open
    BadMessage,  // not a short message
    NotReady,    // the MIDI system stopped taking messages
    WouldWait,   // TryShortMsg: it cannot be taken without waiting
};

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
    // The same without ever waiting: WouldWait (nothing sent) where
    // ShortMsg would wait, or might. Cheap where it succeeds, so a caller
    // that must not wait can play here and hand only the rest to a thread.
    virtual MidiResult TryShortMsg(std::uint32_t /*word*/) { return MidiResult::WouldWait; }
};

// A device's place in the latest list of its kind.
struct MidiPortIndex {
    unsigned value = 0;
    bool operator==(const MidiPortIndex&) const = default;
};

// One device of a list: its place, and its name or why it has none.
struct MidiPort {
    MidiPortIndex index;
    std::string name;
    // Not Ok: the name could not be read (the name is empty).
    MidiResult query = MidiResult::Ok;
};
using MidiPortList = std::vector<MidiPort>;

// What an open gives: the device, or why there is none.
template <typename Device> struct MidiOpened {
    std::unique_ptr<Device> device; // set exactly when `result` is Ok
    MidiResult result = MidiResult::Ok;
};

// Opens at most one input and one output device at a time (a second open of
// the same kind fails with Allocated). Devices may outlive the system.
class MidiSystem {
public:
    virtual ~MidiSystem() = default;

    // Listing takes a new snapshot of the devices of that kind, in order;
    // opens go by a place in the latest snapshot.
    virtual MidiPortList Inputs() = 0;
    virtual MidiOpened<MidiInDevice> OpenIn(MidiPortIndex port, MidiInCallback callback) = 0;

    virtual MidiPortList Outputs() = 0;
    virtual MidiOpened<MidiOutDevice> OpenOut(MidiPortIndex port) = 0;
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
