#include "platform/net/MainThreadPoster.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>

namespace pallorwind::platform {

namespace {

// The calls wait in a queue under a std::mutex and an eventfd (a semaphore:
// one count per call) wakes the owning thread's event loop through a socket
// notifier. Nothing but the queue and the eventfd is shared with the posting
// threads, so the hand-over is ordered by that mutex, which ThreadSanitizer
// sees, unlike the reference counting of Qt's own queued calls.
class PostTarget final : public QObject {
public:
    PostTarget()
        : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)),
          m_notifier(m_fd, QSocketNotifier::Read) {
        QObject::connect(&m_notifier, &QSocketNotifier::activated, this, [this] { RunOne(); });
    }
    ~PostTarget() override {
        m_notifier.setEnabled(false);
        ::close(m_fd);
    }

    void Add(std::function<void()> call) {
        {
            std::lock_guard lock(m_mutex);
            m_calls.push_back(std::move(call));
        }
        const std::uint64_t one = 1;
        while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

private:
    // One call per wake-up: the call may destroy this object, so nothing of
    // it is touched afterwards. The notifier fires again while counts remain.
    void RunOne() {
        std::uint64_t count = 0;
        if (::read(m_fd, &count, sizeof count) != sizeof count)
            return;
        std::function<void()> call;
        {
            std::lock_guard lock(m_mutex);
            if (m_calls.empty())
                return;
            call = std::move(m_calls.front());
            m_calls.pop_front();
        }
        call();
    }

    int m_fd;
    QSocketNotifier m_notifier;
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_calls;
};

} // namespace

MainThreadPoster::MainThreadPoster() : m_context(std::make_unique<PostTarget>()) {
}

MainThreadPoster::~MainThreadPoster() = default;

void MainThreadPoster::Post(std::function<void()> call) {
    static_cast<PostTarget*>(m_context.get())->Add(std::move(call));
}

} // namespace pallorwind::platform
