// Waiting in tests whose code under test runs on the Qt event loop.
#pragma once

#include <QCoreApplication>

#include <chrono>

namespace pallorwind::test {

// Processes events until `done()` holds or `timeout` passes; returns done().
template <typename Predicate>
bool PumpUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Processes events for `duration`.
inline void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

} // namespace pallorwind::test
