// The MIDI input and output devices of the bridge, chosen by name from two
// port lists in the tray menu; plays the app's messages on the output device.
#pragma once

#include "platform/midi/MidiDevices.h"
#include "platform/midi/MidiOutThread.h"
#include "platform/ui/Menu.h"
#include "platform/ui/UserInterface.h"
#include "win/app/SettingsStore.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace pallorwind::win {

// Command ids of the port lists.
inline constexpr int kIdNoDevice = 32802; // grayed "none" while a list has no devices
inline constexpr int kIdInNone = 32810;   // input "None"; input devices follow from 32811
inline constexpr int kIdOutNone = 33810;  // output "None"; output devices follow from 33811

// Where the two lists go in the tray menu.
inline constexpr std::size_t kInputListPosition = 10;
inline constexpr std::size_t kOutputListPosition = 11;

inline constexpr const char* kTextNone = "None";
inline constexpr const char* kTextNoDevice = "none";
inline constexpr const char* kTextInputList = "Input Midi Port";
inline constexpr const char* kTextOutputList = "Output Midi Port";
inline constexpr const char* kTextNoInputDevice = "There is no device for input midi port";

// What SendMidiOut returns when it plays nothing: the output status is a
// failure, or no output device is open (the number of an invalid handle).
inline constexpr int kSendOutputFailed = 1;
inline constexpr int kSendNoOutput = 5;

constexpr bool IsInputPortCommand(int id) {
    return id >= kIdInNone && id < kIdOutNone;
}
constexpr bool IsOutputPortCommand(int id) {
    return id >= kIdOutNone;
}

// Devices are opened, closed and played on the MIDI output thread; the
// results come back on the main thread through `post`. Everything else runs
// on the main thread, which never waits for the MIDI system (except at the
// very end, in CloseDevices, for a bounded time), except SendMidiOut, which
// the apps' reading threads call too: a message the output takes without
// waiting (JACK's, while its buffer has room) the caller plays itself, the
// rest goes to the output thread.
class MidiPorts {
public:
    // Carries a call to the main thread, from any thread.
    using PostToMain = midi::MidiOutThread::Post;
    // Completion of an open, on the main thread: the open's result.
    using Done = std::function<void(bool)>;

    // `onInput` becomes the input device's callback; it runs on the MIDI
    // system's thread. `onReadPause(true)` asks to stop reading the apps'
    // records (the output queue is full), `false` to read again: at once, on
    // the thread that filled or drained the queue, so it only flips a switch
    // (see MidiOutThread's onLevel). `onRefused` gets the first message of
    // each run that the open output device refused (its MIDI server went
    // away, say), on the main thread.
    MidiPorts(midi::MidiSystem& system, SettingsStore& settings, platform::UserInterface& ui,
              midi::MidiInCallback onInput, PostToMain post,
              std::function<void(bool)> onReadPause = {},
              midi::MidiOutThread::Refused onRefused = {});
    ~MidiPorts();
    MidiPorts(const MidiPorts&) = delete;
    MidiPorts& operator=(const MidiPorts&) = delete;

    // The names read from "InMidiPort" and "OutMidiPort" at start-up.
    void SetPortNames(std::string in, std::string out);

    // Builds the two lists and puts them into `trayMenu` at positions 10 and
    // 11, checking the item of each kind whose name is the chosen one. Runs
    // once, before any device is opened.
    void BuildPortLists(platform::Menu& trayMenu);

    // Opens and starts the first input device called `name`. With no input
    // devices at all the user is told so and that counts as success. `done`
    // gets the result.
    void OpenInPort(const std::string& name, Done done = {});
    // Opens the first output device called `name`; the result is kept as the
    // output status. Messages sent meanwhile wait and are played once the
    // device is open (dropped when it could not be opened).
    void OpenOutPort(const std::string& name, Done done = {});

    // A choice from one of the port lists (ids from 32810): the old device is
    // closed, then the new one opened.
    void SelectPort(int id);

    // Queues one message from the app for the output device: 0 when taken
    // for playing (also while the device is being opened), kSendOutputFailed
    // while the output status is a failure, kSendNoOutput while no output
    // device is open.
    // Never waits for the MIDI system. Any thread.
    int SendMidiOut(std::uint32_t message);
    // The messages of one read, in order, as SendMidiOut does each.
    int SendMidiOut(std::span<const std::uint32_t> messages);

    // Closes the input device, then the output device (at exit), waiting at
    // most `bound`; messages queued before are played first. Nothing opens
    // or plays afterwards.
    void CloseDevices(std::chrono::milliseconds bound = midi::MidiOutThread::kStopWait);

    const std::string& InPortName() const { return m_inName; }
    const std::string& OutPortName() const { return m_outName; }
    int CheckedIn() const { return m_checkedIn; }
    int CheckedOut() const { return m_checkedOut; }
    const std::shared_ptr<platform::Menu>& InputList() const { return m_inList; }
    const std::shared_ptr<platform::Menu>& OutputList() const { return m_outList; }
    // As known on the main thread, from the latest result (any thread).
    midi::MidiResult OutputStatus() const { return m_outStatus; }
    bool InputOpen() const { return m_inOpen; }
    bool OutputOpen() const { return m_outOpen; }
    // An open or close has been asked for and its result has not come back.
    bool Busy() const { return m_inPending + m_outPending > 0; }
    // Messages waiting for the output device.
    std::size_t QueuedMessages() const { return m_output.Queued(); }

private:
    // What the output thread's jobs use; they may outlive us by a little at
    // exit (a device that does not return), so they share it.
    struct Devices;
    void StartIn(const std::string& name, bool closeFirst, Done done);
    void StartOut(const std::string& name, bool closeFirst, Done done);

    midi::MidiSystem& m_system;
    SettingsStore& m_settings;
    platform::UserInterface& m_ui;
    std::function<void(bool)> m_onReadPause;
    midi::MidiOutThread::Refused m_onRefused;

    std::string m_inName;
    std::string m_outName;
    std::shared_ptr<Devices> m_devices;
    bool m_inOpen = false;
    int m_inPending = 0;
    bool m_closed = false;
    // What SendMidiOut looks at; written on the main thread only.
    std::atomic<bool> m_outOpen{false};
    std::atomic<int> m_outPending{0};
    std::atomic<midi::MidiResult> m_outStatus{midi::MidiResult::Ok};
    int m_checkedIn = 0;
    int m_checkedOut = 0;
    std::shared_ptr<platform::Menu> m_inList;
    std::shared_ptr<platform::Menu> m_outList;
    midi::MidiOutThread m_output; // last: its thread ends before the rest goes
};

} // namespace pallorwind::win
