// Bringing a window that is already open to the front.
#pragma once

#include <QWidget>

namespace pallorwind::platform {

// Brings `window` to the front; false when it is null or not shown (one that
// has closed but is not deleted yet does not count).
inline bool RaiseWindow(QWidget* window) {
    if (!window || !window->isVisible())
        return false;
    window->showNormal();
    window->raise();
    window->activateWindow();
    return true;
}

} // namespace pallorwind::platform
