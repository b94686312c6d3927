// Runs the program's own exit sequence on SIGINT and SIGTERM.
#pragma once

#include <functional>

namespace pallorwind::platform {

// Installs handlers for SIGINT and SIGTERM that call `exitSequence` on the
// main event loop (not in the signal handler). Call once, after the
// application object exists.
void QuitOnSignal(std::function<void()> exitSequence);

} // namespace pallorwind::platform
