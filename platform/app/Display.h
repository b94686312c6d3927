// Whether the program has a desktop to show windows on.
#pragma once

namespace pallorwind::platform {

// True when DISPLAY or WAYLAND_DISPLAY names a display. QT_QPA_PLATFORM
// alone does not count: it picks how to reach a display, not that one is there.
bool HasDisplay();

} // namespace pallorwind::platform
