// A call due after a delay, on the main event loop's thread.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

class QTimer;

namespace pallorwind::platform {

// Runs one call after a delay on the thread that created it; never blocks.
// Start while pending replaces the pending call; destruction cancels it.
class SingleShotTimer {
public:
    SingleShotTimer();
    ~SingleShotTimer();
    SingleShotTimer(const SingleShotTimer&) = delete;
    SingleShotTimer& operator=(const SingleShotTimer&) = delete;

    void Start(std::chrono::milliseconds delay, std::function<void()> call);
    void Stop();
    bool Pending() const;

private:
    std::unique_ptr<QTimer> m_timer;
    std::function<void()> m_call;
};

} // namespace pallorwind::platform
