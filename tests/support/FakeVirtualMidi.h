// Virtual MIDI ports in memory: what the program offers on its source is
// recorded, and a test plays into its destination from a thread of its own,
// as the MIDI layer would.
#pragma once

#include "platform/midi/VirtualMidiPorts.h"
#include "tests/support/PrintMidiResult.h"

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pallorwind::midi {

class FakeVirtualMidiSystem final : public VirtualMidiSystem {
public:
    struct State {
        std::mutex lock;
        std::vector<std::string> events; // "create NAME", "close NAME", in order
        std::vector<std::string> sent;   // packets offered on the source
        bool notReady = false;           // the MIDI server is away: sends are refused
        VirtualMidiReceive receive;      // the live ports' receiver
        std::string liveName;
    };

    std::unique_ptr<VirtualMidiPorts> Create(const std::string& name,
                                             VirtualMidiReceive onReceive) override {
        std::lock_guard lock(m_state->lock);
        m_state->events.push_back("create " + name);
        if (refuse)
            return nullptr;
        m_state->receive = std::move(onReceive);
        m_state->liveName = name;
        return std::make_unique<Ports>(m_state, name);
    }

    // Plays `bytes` into the destination as one packet, on a thread of its own.
    void Play(const std::string& bytes) {
        std::thread([state = m_state, bytes] {
            std::lock_guard lock(state->lock);
            if (state->receive)
                state->receive(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        }).join();
    }
    std::vector<std::string> Sent() {
        std::lock_guard lock(m_state->lock);
        return m_state->sent;
    }
    std::vector<std::string> Events() {
        std::lock_guard lock(m_state->lock);
        return m_state->events;
    }

    bool refuse = false;
    // Plays a MIDI server that went away (true) and came back (false).
    void SetNotReady(bool notReady) {
        std::lock_guard lock(m_state->lock);
        m_state->notReady = notReady;
    }

private:
    class Ports final : public VirtualMidiPorts {
    public:
        Ports(std::shared_ptr<State> state, std::string name)
            : m_state(std::move(state)), m_name(std::move(name)) {}
        ~Ports() override {
            std::lock_guard lock(m_state->lock);
            m_state->events.push_back("close " + m_name);
            m_state->receive = nullptr;
        }
        MidiResult Send(const std::uint8_t* bytes, std::size_t size) override {
            std::lock_guard lock(m_state->lock);
            if (m_state->notReady)
                return MidiResult::NotReady;
            m_state->sent.emplace_back(reinterpret_cast<const char*>(bytes), size);
            return MidiResult::Ok;
        }

    private:
        std::shared_ptr<State> m_state;
        std::string m_name;
    };

    std::shared_ptr<State> m_state = std::make_shared<State>();
};

} // namespace pallorwind::midi
