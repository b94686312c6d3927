#include "platform/app/Display.h"

#include <xcb/xcb.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace pallorwind::platform {
namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// An X server answers at DISPLAY, authorisation included.
bool X11Answers() {
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    const bool ok = connection && xcb_connection_has_error(connection) == 0;
    if (connection)
        xcb_disconnect(connection);
    return ok;
}

// A Wayland compositor listens at WAYLAND_DISPLAY: a socket name in
// XDG_RUNTIME_DIR, or a path.
bool WaylandAnswers() {
    const std::string name = Env("WAYLAND_DISPLAY");
    const std::string path = name.starts_with('/') ? name : Env("XDG_RUNTIME_DIR") + "/" + name;
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

bool IsX11(const std::string& platform) {
    return platform == "xcb" || platform.starts_with("xcb:");
}
bool IsWayland(const std::string& platform) {
    return platform.starts_with("wayland");
}

std::vector<std::string> Split(const std::string& list) {
    std::vector<std::string> parts;
    std::stringstream stream(list);
    for (std::string part; std::getline(stream, part, ';');)
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

// The platforms Qt tries, in its order, when QT_QPA_PLATFORM does not say.
std::vector<std::string> QtDefaultOrder() {
    const bool waylandSession = Env("XDG_SESSION_TYPE") == "wayland";
    std::string desktop = Env("XDG_CURRENT_DESKTOP") + Env("XDG_SESSION_DESKTOP");
    for (char& c : desktop)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    if (waylandSession && desktop.find("gnome") == std::string::npos)
        return {"wayland", "xcb"};
    return {"xcb", "wayland"};
}

} // namespace

bool UseDisplay(std::string& why) {
    why.clear();
    const bool x11Named = !Env("DISPLAY").empty();
    const bool waylandNamed = !Env("WAYLAND_DISPLAY").empty();
    if (!x11Named && !waylandNamed)
        return false;
    const bool x11 = x11Named && X11Answers();
    const bool wayland = waylandNamed && WaylandAnswers();

    const std::string asked = Env("QT_QPA_PLATFORM");
    const std::vector<std::string> order = asked.empty() ? QtDefaultOrder() : Split(asked);
    std::string usable;
    for (const std::string& platform : order) {
        if ((IsX11(platform) && !x11) || (IsWayland(platform) && !wayland))
            continue;
        usable += (usable.empty() ? "" : ";") + platform;
    }
    if (!usable.empty()) {
        // Where Qt would not start with one that answers, it is told which.
        if (!asked.empty() ? usable != asked : usable.substr(0, usable.find(';')) != order[0])
            setenv("QT_QPA_PLATFORM", usable.c_str(), 1);
        return true;
    }
    std::string names;
    if (x11Named && !x11)
        names = "the X display \"" + Env("DISPLAY") + "\"";
    if (waylandNamed && !wayland)
        names += (names.empty() ? "" : " nor ") + std::string("the Wayland display \"") +
                 Env("WAYLAND_DISPLAY") + "\"";
    why = names.empty() ? "QT_QPA_PLATFORM \"" + asked + "\" names no display that answers"
                        : "cannot reach " + names;
    why += "; running headless";
    return false;
}

} // namespace pallorwind::platform
