// A MIDI system in memory: devices with given names, queries and opens that
// can be made to fail, and a record of what was opened, closed and sent.
#pragma once

#include "platform/midi/MidiDevices.h"

#include <memory>
#include <string>
#include <vector>

namespace pallorwind::midi {

class FakeMidiSystem final : public MidiSystem {
public:
    struct Device {
        std::string name;
        MidiResult queryResult = kMidiOk;
        MidiResult openResult = kMidiOk;
        MidiResult startResult = kMidiOk;
        MidiResult sendResult = kMidiOk;
    };
    struct Log {
        std::vector<unsigned> inOpened, outOpened; // device indices, in order
        int inClosed = 0, outClosed = 0, inStarted = 0;
        std::vector<std::pair<unsigned, std::uint32_t>> sent; // device, word
        // The input device currently open and started, with its callback.
        int liveIn = -1;
        MidiInCallback inCallback;
    };

    std::vector<Device> inputs, outputs;
    std::shared_ptr<Log> log = std::make_shared<Log>();

    unsigned InCount() override { return unsigned(inputs.size()); }
    MidiResult InName(unsigned index, std::string& name) override {
        return Query(inputs, index, name);
    }
    MidiResult OpenIn(unsigned index, MidiInCallback callback,
                      std::unique_ptr<MidiInDevice>& device) override {
        if (index >= inputs.size())
            return kMidiBadDeviceId;
        if (inputs[index].openResult != kMidiOk)
            return inputs[index].openResult;
        log->inOpened.push_back(index);
        device = std::make_unique<In>(log, index, inputs[index].startResult, std::move(callback));
        return kMidiOk;
    }

    unsigned OutCount() override { return unsigned(outputs.size()); }
    MidiResult OutName(unsigned index, std::string& name) override {
        return Query(outputs, index, name);
    }
    MidiResult OpenOut(unsigned index, std::unique_ptr<MidiOutDevice>& device) override {
        if (index >= outputs.size())
            return kMidiBadDeviceId;
        if (outputs[index].openResult != kMidiOk)
            return outputs[index].openResult;
        log->outOpened.push_back(index);
        device = std::make_unique<Out>(log, index, outputs[index].sendResult);
        return kMidiOk;
    }

    // Plays `word` on the open, started input device, as its MIDI thread would.
    bool PlayIn(std::uint32_t word) {
        if (log->liveIn < 0)
            return false;
        log->inCallback(word);
        return true;
    }

private:
    static MidiResult Query(const std::vector<Device>& devices, unsigned index, std::string& name) {
        if (index >= devices.size())
            return kMidiBadDeviceId;
        if (devices[index].queryResult == kMidiOk)
            name = devices[index].name;
        return devices[index].queryResult;
    }

    class In final : public MidiInDevice {
    public:
        In(std::shared_ptr<Log> log, unsigned index, MidiResult start, MidiInCallback callback)
            : m_log(std::move(log)), m_index(index), m_start(start),
              m_callback(std::move(callback)) {}
        ~In() override {
            ++m_log->inClosed;
            if (m_log->liveIn == int(m_index)) {
                m_log->liveIn = -1;
                m_log->inCallback = nullptr;
            }
        }
        MidiResult Start() override {
            ++m_log->inStarted;
            if (m_start != kMidiOk)
                return m_start;
            m_log->liveIn = int(m_index);
            m_log->inCallback = m_callback;
            return kMidiOk;
        }

    private:
        std::shared_ptr<Log> m_log;
        unsigned m_index;
        MidiResult m_start;
        MidiInCallback m_callback;
    };

    class Out final : public MidiOutDevice {
    public:
        Out(std::shared_ptr<Log> log, unsigned index, MidiResult send)
            : m_log(std::move(log)), m_index(index), m_send(send) {}
        ~Out() override { ++m_log->outClosed; }
        MidiResult ShortMsg(std::uint32_t word) override {
            if (m_send == kMidiOk)
                m_log->sent.emplace_back(m_index, word);
            return m_send;
        }

    private:
        std::shared_ptr<Log> m_log;
        unsigned m_index;
        MidiResult m_send;
    };
};

} // namespace pallorwind::midi
