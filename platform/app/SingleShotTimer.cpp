#include "platform/app/SingleShotTimer.h"

#include <QTimer>

namespace pallorwind::platform {

SingleShotTimer::SingleShotTimer() : m_timer(std::make_unique<QTimer>()) {
    m_timer->setSingleShot(true);
    QObject::connect(m_timer.get(), &QTimer::timeout, [this] {
        // A copy: the call may stop or restart this timer, or destroy it.
        const std::function<void()> call = std::move(m_call);
        m_call = nullptr;
        if (call)
            call();
    });
}

SingleShotTimer::~SingleShotTimer() = default;

void SingleShotTimer::Start(std::chrono::milliseconds delay, std::function<void()> call) {
    m_call = std::move(call);
    m_timer->start(delay);
}

void SingleShotTimer::Stop() {
    m_timer->stop();
    m_call = nullptr;
}

bool SingleShotTimer::Pending() const {
    return m_timer->isActive();
}

} // namespace pallorwind::platform
