// Whether the program has a desktop to show windows on.
#pragma once

#include <string>

namespace pallorwind::platform {

// Decides, before the application object exists, whether the program runs
// with windows: DISPLAY or WAYLAND_DISPLAY must name a display, and it must
// answer. QT_QPA_PLATFORM alone does not count: it picks how to reach a
// display, not that one is there. A display that is named but does not
// answer is skipped: where Qt would try it first, QT_QPA_PLATFORM is set to
// one that answers. False when none does; `why` then says so in one line. Platforms other than X11
// and Wayland named in QT_QPA_PLATFORM (offscreen, for one) are taken as they are.
bool UseDisplay(std::string& why);

} // namespace pallorwind::platform
