// Helpers for tests of the whole bridge: an app on a loopback socket, a
// recording user interface and waiting while the event loop runs.
#pragma once

#include "tests/support/EventLoop.h"
#include "tests/support/RecordingUi.h"
#include "tools/appsim/AppConnection.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pallorwind::testing {

using Clock = std::chrono::steady_clock;

// Runs the event loop until `done()` or the timeout; true when done.
template <typename Pred>
bool SpinUntil(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return test::PumpUntil(done, timeout);
}

// A timer on the event loop that records the gaps between its ticks: how long
// the loop left it waiting.
class LoopGapMeter {
public:
    explicit LoopGapMeter(std::chrono::milliseconds period = std::chrono::milliseconds(5)) {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(int(period.count()));
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const auto now = Clock::now();
            m_gaps.push_back(now - m_last);
            m_last = now;
        });
    }
    void Start() {
        m_gaps.clear();
        m_last = Clock::now();
        m_timer.start();
    }
    void Stop() { m_timer.stop(); }
    std::size_t Ticks() const { return m_gaps.size(); }
    // The gap that `share` (0..1) of all gaps do not exceed.
    double PercentileMs(double share) const {
        if (m_gaps.empty())
            return 0;
        std::vector<Clock::duration> sorted = m_gaps;
        std::sort(sorted.begin(), sorted.end());
        const auto at = std::min(sorted.size() - 1, std::size_t(share * double(sorted.size())));
        return std::chrono::duration<double, std::milli>(sorted[at]).count();
    }
    double MaxMs() const { return PercentileMs(1.0); }

private:
    QTimer m_timer;
    Clock::time_point m_last;
    std::vector<Clock::duration> m_gaps;
};

using test::RecordingUi;

// The phone app's side of one connection, through the app simulator. Not
// thread-safe: one thread sends and receives on it.
class AppClient {
public:
    explicit AppClient(std::uint16_t port) {
        try {
            m_connection = appsim::AppConnection::Connect("127.0.0.1", port);
        } catch (const appsim::ConnectionError& e) {
            ADD_FAILURE() << e.what();
        }
    }
    bool Connected() const { return m_connection.IsOpen(); }

    // Writes everything, waiting while TCP pushes back (the bridge paces).
    bool Send(const std::vector<std::uint8_t>& bytes) {
        try {
            m_connection.Send(bytes.data(), bytes.size(), std::chrono::seconds(60));
            return true;
        } catch (const appsim::ConnectionError& e) {
            ADD_FAILURE() << e.what();
            return false;
        }
    }

    // Reads what has arrived, without waiting, and returns the byte count.
    std::size_t ReceivedSize() {
        m_connection.ReceiveOnce(std::chrono::milliseconds(0));
        return m_connection.Received().size();
    }
    std::vector<std::uint8_t> Received() {
        ReceivedSize();
        const std::string& bytes = m_connection.Received();
        return {bytes.begin(), bytes.end()};
    }
    const std::vector<appsim::ReceivedMessage>& Messages() {
        ReceivedSize();
        return m_connection.Messages();
    }
    appsim::AppConnection& Connection() { return m_connection; }

private:
    appsim::AppConnection m_connection;
};

} // namespace pallorwind::testing
