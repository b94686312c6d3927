// Carries a call from any thread to the main event loop's thread.
#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace pallorwind::platform {

// Calls posted through one poster run on the thread that created it, in order.
// Calls still pending when the poster is destroyed are discarded, so a poster
// owned by an object never calls into it after its destruction.
class MainThreadPoster {
public:
    MainThreadPoster();
    ~MainThreadPoster();
    MainThreadPoster(const MainThreadPoster&) = delete;
    MainThreadPoster& operator=(const MainThreadPoster&) = delete;

    void Post(std::function<void()> call);

private:
    // The calls travel under a lock of ours and the wake-up through a file
    // descriptor, never through a Qt object that both threads touch.
    struct Queue;
    std::shared_ptr<Queue> m_queue;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace pallorwind::platform
