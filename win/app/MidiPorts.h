// The MIDI input and output devices of the bridge, chosen by name from two
// port lists in the tray menu; plays the app's messages on the output device.
#pragma once

#include "platform/midi/MidiDevices.h"
#include "platform/ui/UserInterface.h"
#include "win/app/MenuModel.h"
#include "win/app/SettingsStore.h"

#include <cstdint>
#include <memory>
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

constexpr bool IsInputPortCommand(int id) {
    return id >= kIdInNone && id < kIdOutNone;
}
constexpr bool IsOutputPortCommand(int id) {
    return id >= kIdOutNone;
}

class MidiPorts {
public:
    // `onInput` becomes the input device's callback; it runs on the MIDI
    // system's thread.
    MidiPorts(midi::MidiSystem& system, SettingsStore& settings, platform::UserInterface& ui,
              midi::MidiInCallback onInput);
    ~MidiPorts();
    MidiPorts(const MidiPorts&) = delete;
    MidiPorts& operator=(const MidiPorts&) = delete;

    // The names read from "InMidiPort" and "OutMidiPort" at start-up.
    void SetPortNames(std::string in, std::string out);

    // Builds the two lists and puts them into `trayMenu` at positions 10 and
    // 11, checking the item of each kind whose name is the chosen one.
    void BuildPortLists(Menu& trayMenu);

    // Opens and starts the first input device called `name`. With no input
    // devices at all the user is told so and that counts as success.
    bool OpenInPort(const std::string& name);
    // Opens the first output device called `name`; the result is kept as the
    // output status.
    bool OpenOutPort(const std::string& name);

    // A choice from one of the port lists (ids from 32810).
    void SelectPort(int id);

    // Plays one message from the app on the output device. 0 when sent. Blocks
    // while the MIDI system cannot take more.
    int SendMidiOut(std::uint32_t message);

    // Closes the input device, then the output device (at exit).
    void CloseDevices();

    const std::string& InPortName() const { return m_inName; }
    const std::string& OutPortName() const { return m_outName; }
    int CheckedIn() const { return m_checkedIn; }
    int CheckedOut() const { return m_checkedOut; }
    const std::shared_ptr<Menu>& InputList() const { return m_inList; }
    const std::shared_ptr<Menu>& OutputList() const { return m_outList; }
    midi::MidiResult OutputStatus() const { return m_outStatus; }
    bool InputOpen() const { return m_in != nullptr; }
    bool OutputOpen() const { return m_out != nullptr; }

private:
    midi::MidiSystem& m_system;
    SettingsStore& m_settings;
    platform::UserInterface& m_ui;
    midi::MidiInCallback m_onInput;

    std::string m_inName;
    std::string m_outName;
    std::unique_ptr<midi::MidiInDevice> m_in;
    std::unique_ptr<midi::MidiOutDevice> m_out;
    midi::MidiResult m_outStatus = midi::kMidiOk;
    int m_checkedIn = 0;
    int m_checkedOut = 0;
    std::shared_ptr<Menu> m_inList;
    std::shared_ptr<Menu> m_outList;
};

} // namespace pallorwind::win
