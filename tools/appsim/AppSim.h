// The app simulator's run: connect, send, print what comes back.
#pragma once

#include "tools/appsim/CommandLine.h"

#include <ostream>

namespace pallorwind::appsim {

// Connects to options.endpoint, sends the records (options.repeat times, at
// options.recordsPerSecond), and writes every message the bridge sends back to
// `out` as one line each (FormatMessageLine) until options.listenSeconds after
// the last record or until the bridge closes. Notes and errors go to `err`.
// Returns the exit status: 0 done, 1 connection failed or lost while sending.
int RunAppSim(const Options& options, std::ostream& out, std::ostream& err);

// The whole program: parses `args` (without the program name), runs, and
// returns the exit status (2 for bad arguments).
int AppSimMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace pallorwind::appsim
