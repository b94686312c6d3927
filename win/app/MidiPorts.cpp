#include "win/app/MidiPorts.h"
#include "win/net/CCommuInterface.h" // kCaption

#include <algorithm>
#include <mutex>
#include <optional>
#include <shared_mutex>

namespace pallorwind::win {
namespace {

using List = midi::MidiPortList (midi::MidiSystem::*)();

// Fills one list with the devices of one kind. Ids run on without gaps past
// a device whose name cannot be queried; the first device with the chosen
// name is checked, otherwise "None", which then becomes the chosen name.
void FillList(midi::MidiSystem& system, List devices, platform::Menu& list, int noneId,
              std::string& chosen, int& checked) {
    const midi::MidiPortList ports = (system.*devices)();
    list.Append(noneId, kTextNone);
    if (ports.empty())
        return;
    list.Delete(kIdNoDevice);
    int nextId = noneId + 1;
    bool found = false;
    for (const midi::MidiPort& port : ports) {
        if (port.query != midi::MidiResult::Ok)
            continue;
        list.Append(nextId, port.name);
        if (!found && port.name == chosen) {
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

// The input device's callback as the device sees it: cut off for good at
// exit, even when the device could not be closed in time.
struct InputGate {
    std::shared_mutex lock;
    midi::MidiInCallback call;
};

struct InResult {
    bool ok = false;
    bool noDevices = false;
    bool open = false;
};

struct OutResult {
    bool ok = false;
    std::optional<midi::MidiResult> status; // none: keep the earlier one
    bool open = false;
};

} // namespace

struct MidiPorts::Devices {
    Devices(midi::MidiSystem& s, midi::MidiInCallback onInput)
        : system(s), gate(std::make_shared<InputGate>()) {
        gate->call = std::move(onInput);
    }

    // On the output thread only.
    InResult OpenIn(const std::string& name, bool closeFirst) {
        if (closeFirst)
            in.reset();
        const midi::MidiPortList ports = system.Inputs();
        if (ports.empty())
            return {true, true, in != nullptr};
        const auto match = std::find_if(ports.begin(), ports.end(), [&](const midi::MidiPort& p) {
            return p.query == midi::MidiResult::Ok && p.name == name;
        });
        if (match == ports.end())
            return {false, false, in != nullptr};
        in.reset(); // a device is never open twice
        const std::shared_ptr<InputGate> g = gate;
        midi::MidiInCallback call = [g](std::uint32_t word) {
            std::shared_lock lock(g->lock);
            if (g->call)
                g->call(word);
        };
        in = system.OpenIn(match->index, std::move(call)).device;
        if (!in)
            return {false, false, false};
        // A device that opened but did not start stays open until the next
        // choice or the exit.
        return {in->Start() == midi::MidiResult::Ok, false, true};
    }

    // On the output thread only; `out` is the output thread's device slot.
    OutResult OpenOut(std::unique_ptr<midi::MidiOutDevice>& out, const std::string& name,
                      bool closeFirst) {
        if (closeFirst)
            out.reset();
        OutResult r;
        for (const midi::MidiPort& port : system.Outputs()) {
            r.status = port.query;
            if (port.query != midi::MidiResult::Ok || port.name != name)
                continue;
            out.reset();
            midi::MidiOpened<midi::MidiOutDevice> opened = system.OpenOut(port.index);
            out = std::move(opened.device);
            r.status = opened.result;
            r.ok = opened.result == midi::MidiResult::Ok;
            break;
        }
        r.open = out != nullptr;
        return r;
    }

    midi::MidiSystem& system;
    std::unique_ptr<midi::MidiInDevice> in;
    const std::shared_ptr<InputGate> gate;
};

MidiPorts::MidiPorts(midi::MidiSystem& system, SettingsStore& settings, platform::UserInterface& ui,
                     midi::MidiInCallback onInput, PostToMain post,
                     std::function<void(bool)> onReadPause, midi::MidiOutThread::Refused onRefused)
    : m_system(system), m_settings(settings), m_ui(ui), m_onReadPause(std::move(onReadPause)),
      m_onRefused(std::move(onRefused)),
      m_devices(std::make_shared<Devices>(system, std::move(onInput))),
      m_output(
          std::move(post),
          [this](bool full) {
              if (m_onReadPause)
                  m_onReadPause(full);
          },
          [this](std::uint32_t word) {
              if (!m_closed && m_onRefused)
                  m_onRefused(word);
          }) {
}

MidiPorts::~MidiPorts() {
    CloseDevices();
}

void MidiPorts::SetPortNames(std::string in, std::string out) {
    m_inName = std::move(in);
    m_outName = std::move(out);
}

void MidiPorts::BuildPortLists(platform::Menu& trayMenu) {
    m_inList = std::make_shared<platform::Menu>();
    m_outList = std::make_shared<platform::Menu>();
    m_inList->Append(kIdNoDevice, kTextNoDevice, /*enabled*/ false);
    m_outList->Append(kIdNoDevice, kTextNoDevice, /*enabled*/ false);
    trayMenu.InsertPopup(kInputListPosition, kTextInputList, m_inList);
    trayMenu.InsertPopup(kOutputListPosition, kTextOutputList, m_outList);
    FillList(m_system, &midi::MidiSystem::Inputs, *m_inList, kIdInNone, m_inName, m_checkedIn);
    FillList(m_system, &midi::MidiSystem::Outputs, *m_outList, kIdOutNone, m_outName, m_checkedOut);
}

void MidiPorts::OpenInPort(const std::string& name, Done done) {
    StartIn(name, false, std::move(done));
}

void MidiPorts::OpenOutPort(const std::string& name, Done done) {
    StartOut(name, false, std::move(done));
}

void MidiPorts::StartIn(const std::string& name, bool closeFirst, Done done) {
    if (m_closed)
        return;
    ++m_inPending;
    m_output.Run([this, devices = m_devices, name, closeFirst,
                  done = std::move(done)](auto&) -> std::function<void()> {
        const InResult r = devices->OpenIn(name, closeFirst);
        return [this, r, done] {
            if (m_closed)
                return;
            --m_inPending;
            m_inOpen = r.open;
            if (r.noDevices)
                m_ui.MessageBox(kTextNoInputDevice, kCaption);
            if (done)
                done(r.ok);
        };
    });
}

void MidiPorts::StartOut(const std::string& name, bool closeFirst, Done done) {
    if (m_closed)
        return;
    ++m_outPending;
    m_output.Run([this, devices = m_devices, name, closeFirst,
                  done = std::move(done)](auto& out) -> std::function<void()> {
        const OutResult r = devices->OpenOut(out, name, closeFirst);
        return [this, r, done] {
            if (m_closed)
                return;
            // The state first: an app's reader that sees nothing pending
            // sees how the open ended.
            if (r.status)
                m_outStatus = *r.status;
            m_outOpen = r.open;
            --m_outPending;
            if (done)
                done(r.ok);
        };
    });
}

void MidiPorts::SelectPort(int id) {
    const bool output = IsOutputPortCommand(id);
    if (!output && !IsInputPortCommand(id))
        return;
    platform::Menu& list = output ? *m_outList : *m_inList;
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
    // The old device is closed first, then the new one opened, both on the
    // output thread; the result is not reported.
    if (output)
        StartOut(chosen, true, {});
    else
        StartIn(chosen, true, {});
}

int MidiPorts::SendMidiOut(std::uint32_t message) {
    return SendMidiOut(std::span(&message, 1));
}

int MidiPorts::SendMidiOut(std::span<const std::uint32_t> messages) {
    // While a device is being opened its messages wait for it.
    if (m_outPending == 0) {
        if (m_outStatus != midi::MidiResult::Ok)
            return kSendOutputFailed;
        if (!m_outOpen)
            return kSendNoOutput;
    }
    m_output.Enqueue(messages);
    return 0;
}

void MidiPorts::CloseDevices(std::chrono::milliseconds bound) {
    if (m_closed)
        return;
    m_closed = true;
    m_output.Run([devices = m_devices](auto& out) -> std::function<void()> {
        devices->in.reset();
        out.reset();
        return {};
    });
    m_output.Stop(bound);
    {
        std::unique_lock lock(m_devices->gate->lock);
        m_devices->gate->call = nullptr;
    }
    m_inOpen = m_outOpen = false;
    m_inPending = m_outPending = 0;
}

} // namespace pallorwind::win
