// Waiting in tests and benchmarks whose code under test runs on the Qt event
// loop.
#pragma once

#include <QCoreApplication>
#include <QTimer>

#include <chrono>

namespace pallorwind::test {

// Runs the event loop, sleeping while there is nothing to do, until `done()`
// holds or `timeout` passes; returns done(). A 1 ms timer makes sure `done()`
// is looked at even when no event arrives.
template <typename Predicate>
bool PumpUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    QTimer tick;
    tick.start(1);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Processes events for `duration`.
inline void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

} // namespace pallorwind::test
