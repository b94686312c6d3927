// A controller that records what the network link tells it.
#pragma once

#include "tests/support/RecordingUi.h"
#include "win/net/CCommuInterface.h"
#include "win/net/CServerHolder.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace pallorwind::test {

using namespace pallorwind::win;

class RecordingCommu : public CCommuInterface, public CServerHolder {
public:
    RecordingCommu() : m_owner(std::this_thread::get_id()) {}
    ~RecordingCommu() override = default;

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
    int SendMidiOut(std::uint32_t msg) override {
        Check();
        played.push_back(msg);
        return 0;
    }
    bool GetDisplayBonjourMsg() override { return true; }
    platform::UserInterface& GetUserInterface() override { return ui; }

    int connects = 0;
    int disconnects = 0;
    std::vector<std::string> ports;
    std::vector<std::uint32_t> played;
    RecordingUi ui;
    // Calls that arrived on a thread other than the one that made us.
    std::atomic<int> foreignThreadCalls{0};

private:
    void Check() {
        if (std::this_thread::get_id() != m_owner)
            ++foreignThreadCalls;
    }
    std::thread::id m_owner;
};

} // namespace pallorwind::test
