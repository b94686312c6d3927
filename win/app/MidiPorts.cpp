#include "win/app/MidiPorts.h"
#include "win/net/CCommuInterface.h" // kCaption

namespace pallorwind::win {
namespace {

using Count = unsigned (midi::MidiSystem::*)();
using Name = midi::MidiResult (midi::MidiSystem::*)(unsigned, std::string&);

// Fills one list with the devices of one kind. Ids run on without gaps past
// a device whose name cannot be queried; the first device with the chosen
// name is checked, otherwise "None", which then becomes the chosen name.
void FillList(midi::MidiSystem& system, Count count, Name query, Menu& list, int noneId,
              std::string& chosen, int& checked) {
    const unsigned n = (system.*count)();
    list.Append(noneId, kTextNone);
    if (n == 0)
        return;
    list.Delete(kIdNoDevice);
    int nextId = noneId + 1;
    bool found = false;
    for (unsigned i = 0; i < n; ++i) {
        std::string name;
        if ((system.*query)(i, name) != midi::kMidiOk)
            continue;
        list.Append(nextId, name);
        if (!found && name == chosen) {
            list.Check(nextId, true);
            checked = nextId;
            found = true;
        }
        ++nextId;
    }
    if (!found) {
        list.Check(noneId, true);
        checked = noneId;
        chosen = list.Text(noneId);
    }
}

} // namespace

MidiPorts::MidiPorts(midi::MidiSystem& system, SettingsStore& settings, platform::UserInterface& ui,
                     midi::MidiInCallback onInput)
    : m_system(system), m_settings(settings), m_ui(ui), m_onInput(std::move(onInput)) {
}

MidiPorts::~MidiPorts() {
    CloseDevices();
}

void MidiPorts::SetPortNames(std::string in, std::string out) {
    m_inName = std::move(in);
    m_outName = std::move(out);
}

void MidiPorts::BuildPortLists(Menu& trayMenu) {
    m_inList = std::make_shared<Menu>();
    m_outList = std::make_shared<Menu>();
    m_inList->Append(kIdNoDevice, kTextNoDevice, /*enabled*/ false);
    m_outList->Append(kIdNoDevice, kTextNoDevice, /*enabled*/ false);
    trayMenu.InsertPopup(kInputListPosition, kTextInputList, m_inList);
    trayMenu.InsertPopup(kOutputListPosition, kTextOutputList, m_outList);
    FillList(m_system, &midi::MidiSystem::InCount, &midi::MidiSystem::InName, *m_inList, kIdInNone,
             m_inName, m_checkedIn);
    FillList(m_system, &midi::MidiSystem::OutCount, &midi::MidiSystem::OutName, *m_outList,
             kIdOutNone, m_outName, m_checkedOut);
}

bool MidiPorts::OpenInPort(const std::string& name) {
    const unsigned n = m_system.InCount();
    if (n == 0) {
        m_ui.MessageBox(kTextNoInputDevice, kCaption);
        return true;
    }
    unsigned i = 0;
    for (; i < n; ++i) {
        std::string deviceName;
        if (m_system.InName(i, deviceName) == midi::kMidiOk && deviceName == name)
            break;
    }
    if (i == n)
        return false;
    m_in.reset(); // a device is never open twice
    if (m_system.OpenIn(i, m_onInput, m_in) != midi::kMidiOk)
        return false;
    // A device that opened but did not start stays open until the next
    // choice or the exit.
    return m_in->Start() == midi::kMidiOk;
}

bool MidiPorts::OpenOutPort(const std::string& name) {
    const unsigned n = m_system.OutCount();
    unsigned i = 0;
    for (; i < n; ++i) {
        std::string deviceName;
        m_outStatus = m_system.OutName(i, deviceName);
        if (m_outStatus == midi::kMidiOk && deviceName == name)
            break;
    }
    if (i == n)
        return false;
    m_out.reset();
    m_outStatus = m_system.OpenOut(i, m_out);
    return m_outStatus == midi::kMidiOk;
}

void MidiPorts::SelectPort(int id) {
    const bool output = IsOutputPortCommand(id);
    if (!output && !IsInputPortCommand(id))
        return;
    Menu& list = output ? *m_outList : *m_inList;
    std::string& chosen = output ? m_outName : m_inName;
    int& checked = output ? m_checkedOut : m_checkedIn;

    const std::string text = list.Text(id);
    if (text.empty() || text == chosen)
        return;
    chosen = text;
    list.Check(checked, false);
    list.Check(id, true);
    checked = id;
    m_settings.WriteSetting(output ? kSettingOutMidiPort : kSettingInMidiPort, chosen);
    if (output) {
        m_out.reset();
        OpenOutPort(chosen);
    } else {
        m_in.reset();
        OpenInPort(chosen);
    }
}

int MidiPorts::SendMidiOut(std::uint32_t message) {
    if (m_outStatus != midi::kMidiOk)
        return 1;
    if (!m_out)
        return int(midi::kMidiInvalidHandle);
    return int(m_out->ShortMsg(message));
}

void MidiPorts::CloseDevices() {
    m_in.reset();
    m_out.reset();
}

} // namespace pallorwind::win
