// pallorwind-win against the plain reference bridge, side by side on one JACK
// server: both run as processes of their own, started anew each round, and
// an app paces records to one of them at a time, at a set number per JACK
// period. Each row is measured for both bridges in turn; which runs first,
// and which bridge was started first (JACK runs it first in each period),
// change from round to round. The table gives each figure's median over the
// rounds and its spread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace pallorwind::bench {

struct SideBySideOptions {
    std::string jackServer;                // JACK_DEFAULT_SERVER of the running test server
    std::string bridgeBinary;              // pallorwind-win
    std::string plainBinary;               // pwbench_plain_bridge
    int rounds = 4;                        // even: each bridge is started first as often
    std::chrono::milliseconds flood{2000}; // each loaded run
    std::chrono::milliseconds slow{10000}; // the run at 10 messages per second
    std::vector<int> perPeriod{3, 30, 100, 500, 2000};
    bool threads = false; // a line per thread of each bridge and run
};

// Prints the table and whether the goals hold; false when a bridge could not
// be started or measured.
bool RunSideBySide(const SideBySideOptions& options);

// What the file holds, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

} // namespace pallorwind::bench
