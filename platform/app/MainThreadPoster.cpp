#include "platform/app/MainThreadPoster.h"

#include <QSocketNotifier>

#include <cstdint>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace pallorwind::platform {

struct MainThreadPoster::Queue {
    ~Queue() {
        if (wakeFd >= 0)
            ::close(wakeFd);
    }

    std::mutex lock;
    std::deque<std::function<void()>> calls;
    bool signalled = false; // a wake-up is on its way; guarded by `lock`
    int wakeFd = -1;
    bool alive = true; // the poster exists; main thread only

    // Runs what was posted, in order; stops when a call destroyed the poster.
    static void Drain(const std::shared_ptr<Queue>& queue) {
        std::uint64_t count;
        (void)!::read(queue->wakeFd, &count, sizeof count);
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard guard(queue->lock);
            queue->signalled = false;
            batch.swap(queue->calls);
        }
        for (auto& call : batch) {
            if (!queue->alive)
                return;
            call();
        }
    }
};

MainThreadPoster::MainThreadPoster() : m_queue(std::make_shared<Queue>()) {
    m_queue->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_notifier = std::make_unique<QSocketNotifier>(m_queue->wakeFd, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [queue = m_queue] {
        const std::shared_ptr<Queue> keep = queue; // the poster may go during a call
        Queue::Drain(keep);
    });
}

MainThreadPoster::~MainThreadPoster() {
    m_queue->alive = false;
}

void MainThreadPoster::Post(std::function<void()> call) {
    bool wake;
    {
        std::lock_guard guard(m_queue->lock);
        m_queue->calls.push_back(std::move(call));
        wake = !m_queue->signalled;
        m_queue->signalled = true;
    }
    if (wake) {
        const std::uint64_t one = 1;
        (void)!::write(m_queue->wakeFd, &one, sizeof one);
    }
}

} // namespace pallorwind::platform
