// Calls posted to "the main thread" from any thread, run only when the test
// says so: a stand-in for the event loop in tests without Qt.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace pallorwind::test {

class ManualPoster {
public:
    void Post(std::function<void()> call) {
        {
            std::lock_guard lock(m_lock);
            m_calls.push_back(std::move(call));
        }
        m_posted.notify_all();
    }
    auto Poster() {
        return [this](std::function<void()> call) { Post(std::move(call)); };
    }

    // Runs posted calls on this thread, in order, until `done()` holds or
    // `timeout` passes; returns done().
    template <typename Predicate>
    bool RunUntil(Predicate done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::unique_lock lock(m_lock);
            if (m_calls.empty() &&
                !m_posted.wait_until(
                    lock,
                    std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(5)),
                    [&] { return !m_calls.empty(); })) {
                if (std::chrono::steady_clock::now() >= end)
                    return done();
                continue;
            }
            std::function<void()> call = std::move(m_calls.front());
            m_calls.pop_front();
            lock.unlock();
            call();
        }
        return true;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_posted;
    std::deque<std::function<void()>> m_calls;
};

} // namespace pallorwind::test
