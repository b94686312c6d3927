// The display rule, with displays named that do or do not answer: an X
// display number where no server runs, and a Wayland socket the test listens
// on itself.
#include "platform/app/Display.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace pallorwind::platform {
namespace {

struct Listener {
    explicit Listener(const std::string& path) {
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        unlink(path.c_str());
        ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             listen(fd, 4) == 0;
        this->path = path;
    }
    ~Listener() {
        close(fd);
        unlink(path.c_str());
    }
    int fd;
    bool ok = false;
    std::string path;
};

std::string Platform() {
    const char* value = std::getenv("QT_QPA_PLATFORM");
    return value ? value : "(unset)";
}

TEST(Display, OnlyADisplayThatAnswersCountsAndQtIsPointedAtIt) {
    const std::string socket = "/tmp/pwtest-wayland-" + std::to_string(getpid());
    unsetenv("XDG_SESSION_TYPE");
    unsetenv("QT_QPA_PLATFORM");
    setenv("DISPLAY", ":4097", 1); // no X server there
    setenv("WAYLAND_DISPLAY", socket.c_str(), 1);
    std::string why;
    {
        // Qt would try X first; it is sent to Wayland, which answers.
        Listener wayland(socket);
        ASSERT_TRUE(wayland.ok);
        EXPECT_TRUE(UseDisplay(why));
        EXPECT_EQ(Platform(), "wayland");
        EXPECT_EQ(why, "");
    }
    // Neither answers: headless, and why in one line.
    unsetenv("QT_QPA_PLATFORM");
    EXPECT_FALSE(UseDisplay(why));
    EXPECT_EQ(why, "cannot reach the X display \":4097\" nor the Wayland display \"" + socket +
                       "\"; running headless");
    EXPECT_EQ(Platform(), "(unset)");
    // A platform that needs no display server is taken as it is.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    EXPECT_TRUE(UseDisplay(why));
    EXPECT_EQ(Platform(), "offscreen");
    // Nothing named: headless, nothing to say.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    EXPECT_FALSE(UseDisplay(why));
    EXPECT_EQ(why, "");
    unsetenv("QT_QPA_PLATFORM");
}

} // namespace
} // namespace pallorwind::platform
