#include "platform/net/MainThreadPoster.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <deque>
#include <mutex>

namespace pallorwind::platform {

namespace {

const QEvent::Type kCallEvent = QEvent::Type(QEvent::registerEventType());

} // namespace

// The calls wait here under a lock of our own; the event that Qt carries to
// the main thread holds nothing of them. So the hand-over is visible to
// thread checkers, which cannot see into Qt's own locks.
class MainThreadPoster::Context final : public QObject {
public:
    void Add(std::function<void()> call) {
        const std::lock_guard lock(m_lock);
        m_calls.push_back(std::move(call));
    }

    bool event(QEvent* e) override {
        if (e->type() != kCallEvent)
            return QObject::event(e);
        std::function<void()> call;
        {
            const std::lock_guard lock(m_lock);
            if (m_calls.empty())
                return true;
            call = std::move(m_calls.front());
            m_calls.pop_front();
        }
        call(); // may destroy the poster, and this with it: nothing follows
        return true;
    }

private:
    std::mutex m_lock;
    std::deque<std::function<void()>> m_calls;
};

MainThreadPoster::MainThreadPoster() : m_context(std::make_unique<Context>()) {
}

MainThreadPoster::~MainThreadPoster() = default;

void MainThreadPoster::Post(std::function<void()> call) {
    m_context->Add(std::move(call));
    QCoreApplication::postEvent(m_context.get(), new QEvent(kCallEvent));
}

} // namespace pallorwind::platform
