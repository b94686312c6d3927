// The tests' private avahi-daemon, stopped and started by a test to play a
// DNS-SD service that goes away and comes back.
#pragma once

#include "tests/support/EventLoop.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

namespace pallorwind::test {

// Runs the test daemon's script (start, stop-daemon) on another thread while
// the event loop keeps running; true when it succeeded.
inline bool Daemon(const std::string& command) {
    const char* script = std::getenv("PALLORWIND_AVAHI_SCRIPT");
    const char* log = std::getenv("PALLORWIND_AVAHI_LOG");
    if (!script)
        return false;
    std::string line = script;
    line += ' ';
    line += command;
    if (command == "start" && log) {
        line += ' ';
        line += log;
    }
    auto done = std::async(std::launch::async, [line] { return std::system(line.c_str()); });
    PumpUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
              std::chrono::seconds(60));
    return done.get() == 0;
}

} // namespace pallorwind::test
