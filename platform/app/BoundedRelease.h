// Letting go of something whose destructor may hang (a connection to a MIDI
// server that stands still) at the end of a program, without hanging with it.
#pragma once

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace pallorwind::platform {

// Destroys `resource` on a thread of its own and waits for that at most
// `limit`; past it the program goes on (and may end) regardless.
template <typename T>
void ReleaseWithin(std::unique_ptr<T> resource, std::chrono::milliseconds limit) {
    std::packaged_task<void()> release([r = std::move(resource)]() mutable { r.reset(); });
    std::future<void> released = release.get_future();
    std::thread(std::move(release)).detach();
    released.wait_for(limit);
}

} // namespace pallorwind::platform
