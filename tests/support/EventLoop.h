// Waiting in tests and benchmarks whose code under test runs on the Qt event
// loop.
#pragma once

#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

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

// A timer on the event loop that records the gaps between its ticks: how long
// the loop left it waiting.
class LoopGapMeter {
public:
    explicit LoopGapMeter(std::chrono::milliseconds period = std::chrono::milliseconds(5)) {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(int(period.count()));
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const auto now = std::chrono::steady_clock::now();
            m_gaps.push_back(now - m_last);
            m_last = now;
        });
    }
    void Start() {
        m_gaps.clear();
        m_last = std::chrono::steady_clock::now();
        m_timer.start();
    }
    void Stop() { m_timer.stop(); }
    std::size_t Ticks() const { return m_gaps.size(); }
    // The gap that `share` (0..1) of all gaps do not exceed.
    double PercentileMs(double share) const {
        if (m_gaps.empty())
            return 0;
        std::vector<std::chrono::steady_clock::duration> sorted = m_gaps;
        std::sort(sorted.begin(), sorted.end());
        const auto at = std::min(sorted.size() - 1, std::size_t(share * double(sorted.size())));
        return std::chrono::duration<double, std::milli>(sorted[at]).count();
    }
    double MaxMs() const { return PercentileMs(1.0); }
    // Every gap so far, in milliseconds, in the order they came.
    std::vector<double> GapsMs() const {
        std::vector<double> ms;
        for (const auto gap : m_gaps)
            ms.push_back(std::chrono::duration<double, std::milli>(gap).count());
        return ms;
    }

private:
    QTimer m_timer;
    std::chrono::steady_clock::time_point m_last;
    std::vector<std::chrono::steady_clock::duration> m_gaps;
};

} // namespace pallorwind::test
