// A controller that records what the network link tells it.
#pragma once

#include "tests/support/RecordingUi.h"
#include "win/net/CCommuInterface.h"
#include "win/net/CServerHolder.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pallorwind::test {

using namespace pallorwind::win;

class RecordingCommu : public CCommuInterface, public CServerHolder {
public:
    RecordingCommu() : m_owner(std::this_thread::get_id()) {}
    // The server's readers play into what we record: they end first.
    ~RecordingCommu() override { DeleteServer(); }

    void OnClientConnected() override {
        Check();
        ++connects;
    }
    void OnClientDisconnected() override {
        Check();
        ++disconnects;
    }
    void SetPort(std::string port) override {
        Check();
        ports.push_back(port);
    }
    // The apps' reading threads play.
    int SendMidiOut(std::uint32_t msg) override {
        std::lock_guard lock(m_playedLock);
        m_played.push_back(msg);
        return 0;
    }
    std::vector<std::uint32_t> Played() {
        std::lock_guard lock(m_playedLock);
        return m_played;
    }
    bool GetDisplayBonjourMsg() override { return true; }
    platform::UserInterface& GetUserInterface() override { return ui; }
    platform::ReadGate& GetReadGate() override { return gate; }

    int connects = 0;
    int disconnects = 0;
    std::vector<std::string> ports;
    RecordingUi ui;
    platform::ReadGate gate;
    // Calls that arrived on a thread other than the one that made us.
    std::atomic<int> foreignThreadCalls{0};

private:
    void Check() {
        if (std::this_thread::get_id() != m_owner)
            ++foreignThreadCalls;
    }
    std::thread::id m_owner;
    std::mutex m_playedLock;
    std::vector<std::uint32_t> m_played;
};

} // namespace pallorwind::test
