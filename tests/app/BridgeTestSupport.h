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

using test::LoopGapMeter;

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
