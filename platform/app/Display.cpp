#include "platform/app/Display.h"

#include <cstdlib>
#include <initializer_list>

namespace pallorwind::platform {

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    return false;
}

} // namespace pallorwind::platform
