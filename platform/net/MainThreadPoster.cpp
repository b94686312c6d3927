#include "platform/net/MainThreadPoster.h"

#include <QObject>

namespace pallorwind::platform {

MainThreadPoster::MainThreadPoster() : m_context(std::make_unique<QObject>()) {
}

MainThreadPoster::~MainThreadPoster() = default;

void MainThreadPoster::Post(std::function<void()> call) {
    QMetaObject::invokeMethod(m_context.get(), std::move(call), Qt::QueuedConnection);
}

} // namespace pallorwind::platform
