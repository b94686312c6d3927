// A MIDI system in memory: devices with given names, queries and opens that
// can be made to fail, and a record of what was opened, closed and sent. Its
// output can be made to block like a cable that takes nothing, and it counts
// the device calls made on the thread that must never wait for MIDI. An
// output may also take messages at once (TryShortMsg), as JACK's does while
// its buffer has room.
#pragma once

#include "platform/midi/MidiDevices.h"
#include "tests/support/PrintMidiResult.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pallorwind::midi {

class FakeMidiSystem final : public MidiSystem {
public:
    struct Device {
        std::string name;
        MidiResult queryResult = MidiResult::Ok;
        MidiResult openResult = MidiResult::Ok;
        MidiResult startResult = MidiResult::Ok;
        MidiResult sendResult = MidiResult::Ok;
        bool takesAtOnce = false; // TryShortMsg plays, unless refused below
    };
    struct Log {
        // Written on whatever thread opens, closes and plays; read them once
        // that thread's result has come back, or through Sent().
        std::vector<unsigned> inOpened, outOpened; // device indices, in order
        int inClosed = 0, outClosed = 0, inStarted = 0;
        // "open in 1", "close out 0", ... in the order they happened.
        std::vector<std::string> events;
        // The input device currently open and started, with its callback.
        int liveIn = -1;
        MidiInCallback inCallback;
        // Opens, closes and sends made on this thread (set it to the event
        // loop's thread): each is a wait there.
        std::thread::id mainThread;
        int mainThreadCalls = 0;
        // Not MidiResult::Ok: every open output device refuses what it is sent with
        // this, as one whose MIDI server went away.
        std::atomic<MidiResult> refuse{MidiResult::Ok};

        // What the output devices played: (device, word), in order.
        std::vector<std::pair<unsigned, std::uint32_t>> Sent() {
            std::lock_guard lock(m_lock);
            return m_sent;
        }
        std::size_t SentCount() {
            std::lock_guard lock(m_lock);
            return m_sent.size();
        }
        // While blocked, an output device's ShortMsg waits.
        void BlockOutput(bool blocked) {
            {
                std::lock_guard lock(m_lock);
                m_blocked = blocked;
            }
            m_unblocked.notify_all();
        }
        // True once a ShortMsg is waiting on the blocked output.
        bool OutputWaiting() {
            std::lock_guard lock(m_lock);
            return m_waiting > 0;
        }
        // While refused, TryShortMsg takes nothing (MidiResult::WouldWait), however
        // the device was made. Independent of BlockOutput, which holds
        // ShortMsg only.
        void RefuseAtOnce(bool refused) {
            std::lock_guard lock(m_lock);
            m_refuseAtOnce = refused;
        }
        // With `n` above 0, every n-th message offered to TryShortMsg is not
        // taken, as when JACK's ring is full for a moment.
        void RefuseAtOnceEvery(unsigned n) {
            std::lock_guard lock(m_lock);
            m_refuseEvery = n;
            m_offered = 0;
        }
        // Messages played through TryShortMsg, and on which thread.
        std::vector<std::thread::id> AtOnceThreads() {
            std::lock_guard lock(m_lock);
            return m_atOnceThreads;
        }
        bool PlayAtOnce(unsigned device, std::uint32_t word) {
            std::lock_guard lock(m_lock);
            if (m_refuseAtOnce || (m_refuseEvery > 0 && ++m_offered % m_refuseEvery == 0))
                return false;
            m_atOnceThreads.push_back(std::this_thread::get_id());
            m_sent.emplace_back(device, word);
            return true;
        }

        void Note(const std::string& event) {
            std::lock_guard lock(m_lock);
            events.push_back(event);
            if (std::this_thread::get_id() == mainThread)
                ++mainThreadCalls;
        }
        std::vector<std::string> Events() {
            std::lock_guard lock(m_lock);
            return events;
        }
        void Play(unsigned device, std::uint32_t word) {
            std::unique_lock lock(m_lock);
            // On the main thread it would wait, which it must not: counted
            // instead of blocking the test.
            if (std::this_thread::get_id() == mainThread)
                ++mainThreadCalls;
            else
                ++m_waiting;
            if (std::this_thread::get_id() != mainThread) {
                m_unblocked.wait(lock, [&] { return !m_blocked; });
                --m_waiting;
            }
            m_sent.emplace_back(device, word);
        }

    private:
        std::mutex m_lock;
        std::condition_variable m_unblocked;
        bool m_blocked = false;
        bool m_refuseAtOnce = false;
        unsigned m_refuseEvery = 0; // RefuseAtOnceEvery
        unsigned m_offered = 0;
        std::vector<std::thread::id> m_atOnceThreads;
        int m_waiting = 0;
        std::vector<std::pair<unsigned, std::uint32_t>> m_sent;
    };

    std::vector<Device> inputs, outputs;
    std::shared_ptr<Log> log = std::make_shared<Log>();

    MidiPortList Inputs() override { return List(inputs); }
    MidiOpened<MidiInDevice> OpenIn(MidiPortIndex port, MidiInCallback callback) override {
        const unsigned index = port.value;
        if (index >= inputs.size())
            return {nullptr, MidiResult::BadDeviceId};
        if (inputs[index].openResult != MidiResult::Ok)
            return {nullptr, inputs[index].openResult};
        log->inOpened.push_back(index);
        log->Note("open in " + std::to_string(index));
        return {std::make_unique<In>(log, index, inputs[index].startResult, std::move(callback))};
    }

    MidiPortList Outputs() override { return List(outputs); }
    MidiOpened<MidiOutDevice> OpenOut(MidiPortIndex port) override {
        const unsigned index = port.value;
        if (index >= outputs.size())
            return {nullptr, MidiResult::BadDeviceId};
        if (outputs[index].openResult != MidiResult::Ok)
            return {nullptr, outputs[index].openResult};
        log->outOpened.push_back(index);
        log->Note("open out " + std::to_string(index));
        return {std::make_unique<Out>(log, index, outputs[index].sendResult,
                                      outputs[index].takesAtOnce)};
    }

    // Plays `word` on the open, started input device, as its MIDI thread would.
    bool PlayIn(std::uint32_t word) {
        if (log->liveIn < 0)
            return false;
        log->inCallback(word);
        return true;
    }

private:
    static MidiPortList List(const std::vector<Device>& devices) {
        MidiPortList ports;
        for (unsigned i = 0; i < devices.size(); ++i) {
            const bool named = devices[i].queryResult == MidiResult::Ok;
            ports.push_back(
                {MidiPortIndex{i}, named ? devices[i].name : "", devices[i].queryResult});
        }
        return ports;
    }

    class In final : public MidiInDevice {
    public:
        In(std::shared_ptr<Log> log, unsigned index, MidiResult start, MidiInCallback callback)
            : m_log(std::move(log)), m_index(index), m_start(start),
              m_callback(std::move(callback)) {}
        ~In() override {
            ++m_log->inClosed;
            m_log->Note("close in " + std::to_string(m_index));
            if (m_log->liveIn == int(m_index)) {
                m_log->liveIn = -1;
                m_log->inCallback = nullptr;
            }
        }
        MidiResult Start() override {
            ++m_log->inStarted;
            if (m_start != MidiResult::Ok)
                return m_start;
            m_log->liveIn = int(m_index);
            m_log->inCallback = m_callback;
            return MidiResult::Ok;
        }

    private:
        std::shared_ptr<Log> m_log;
        unsigned m_index;
        MidiResult m_start;
        MidiInCallback m_callback;
    };

    class Out final : public MidiOutDevice {
    public:
        Out(std::shared_ptr<Log> log, unsigned index, MidiResult send, bool takesAtOnce)
            : m_log(std::move(log)), m_index(index), m_send(send), m_takesAtOnce(takesAtOnce) {}
        ~Out() override {
            ++m_log->outClosed;
            m_log->Note("close out " + std::to_string(m_index));
        }
        MidiResult ShortMsg(std::uint32_t word) override {
            if (m_send != MidiResult::Ok)
                return m_send;
            if (const MidiResult refused = m_log->refuse.load(); refused != MidiResult::Ok)
                return refused;
            m_log->Play(m_index, word);
            return MidiResult::Ok;
        }
        MidiResult TryShortMsg(std::uint32_t word) override {
            if (!m_takesAtOnce)
                return MidiResult::WouldWait;
            if (m_send != MidiResult::Ok)
                return m_send;
            return m_log->PlayAtOnce(m_index, word) ? MidiResult::Ok : MidiResult::WouldWait;
        }

    private:
        std::shared_ptr<Log> m_log;
        unsigned m_index;
        MidiResult m_send;
        bool m_takesAtOnce;
    };
};

} // namespace pallorwind::midi
