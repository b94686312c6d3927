// Carries a call from any thread to the main event loop's thread.
#pragma once

#include <functional>
#include <memory>

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
    class Context;
    std::unique_ptr<Context> m_context;
};

} // namespace pallorwind::platform
