#include "platform/net/MainThreadPoster.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <deque>
#include <mutex>
#include <unordered_set>

namespace pallorwind::platform {

namespace {

const QEvent::Type kCallEvent = QEvent::Type(QEvent::registerEventType());

} // namespace

// The calls wait here under a lock of our own, and the events that Qt carries
// to the main thread are recognised by their address alone: nothing crosses
// threads through Qt's own locks, which thread checkers cannot see.
class MainThreadPoster::Context final : public QObject {
public:
    ~Context() override {
        // Pending events are deleted after this, on this thread: after every
        // Post that made them.
        const std::lock_guard lock(m_lock);
    }

    void Add(std::function<void()> call, const QEvent* event) {
        const std::lock_guard lock(m_lock);
        m_calls.push_back(std::move(call));
        m_events.insert(event);
    }

    bool event(QEvent* e) override {
        std::function<void()> call;
        bool ours = false;
        {
            const std::lock_guard lock(m_lock);
            ours = m_events.erase(e) != 0;
            if (ours) {
                call = std::move(m_calls.front());
                m_calls.pop_front();
            }
        }
        if (!ours)
            return QObject::event(e);
        if (call)
            call(); // may destroy the poster, and this with it: nothing follows
        return true;
    }

private:
    std::mutex m_lock;
    std::deque<std::function<void()>> m_calls;
    std::unordered_set<const QEvent*> m_events; // posted, not yet delivered
};

MainThreadPoster::MainThreadPoster() : m_context(std::make_unique<Context>()) {
}

MainThreadPoster::~MainThreadPoster() = default;

void MainThreadPoster::Post(std::function<void()> call) {
    auto* event = new QEvent(kCallEvent);
    m_context->Add(std::move(call), event);
    QCoreApplication::postEvent(m_context.get(), event);
}

} // namespace pallorwind::platform
