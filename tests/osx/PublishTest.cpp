// The bridge's service on a real DNS-SD daemon: found with its port while it
// waits for an app, gone while it serves one.
#include "osx/Pallorwind.h"
#include "tests/support/AvahiDaemon.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeVirtualMidi.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackApp.h"
#include "tests/support/MemoryPreferences.h"
#include "tests/support/RecordingUi.h"
#include "tools/appsim/Discovery.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

namespace pallorwind::osx {
namespace {

using namespace std::chrono_literals;

bool Listed(const std::string& name) {
    const auto found = appsim::BrowseServices(kServiceType, 2500ms);
    return std::any_of(found.begin(), found.end(),
                       [&](const appsim::FoundService& s) { return s.name == name; });
}

// The bridge under `name` on any port, with its MIDI in memory.
struct Bridge {
    explicit Bridge(const std::string& name) {
        prefs.values = {{kPrefServer, name}, {kPrefPort, "0"}, {kPrefMidi, ""}, {kPrefPrefs, "1"}};
        PallorwindContext context;
        context.prefs = &prefs;
        context.midi = &midi;
        context.panels = &panels;
        context.ui = &ui;
        context.desktop = dir.path().toStdString();
        context.home = dir.path().toStdString();
        controller = std::make_unique<Pallorwind>(std::move(context));
        controller->AwakeFromNib();
    }
    QTemporaryDir dir;
    MemoryPreferences prefs;
    midi::FakeVirtualMidiSystem midi;
    NoPanels panels;
    test::RecordingUi ui;
    std::unique_ptr<Pallorwind> controller;
};

TEST(PallorwindPublishTest, FoundWhileWaitingAndWithdrawnWhileServing) {
    const std::string name = "Pallorwind Publish Test";
    Bridge bridge(name);
    Pallorwind& controller = *bridge.controller;

    ASSERT_TRUE(test::PumpUntil(
        [&] { return controller.StatusMenu().Text(kTagName) == "Name: " + name; }, 10s));
    const std::uint16_t port = controller.Server()->Port();
    EXPECT_EQ(controller.StatusMenu().Text(kTagPort), "Port: " + std::to_string(port));
    const auto found = appsim::FindService(name, kServiceType, 5s);
    EXPECT_EQ(found.port, port);
    EXPECT_TRUE(found.txt.empty() || found.txt == std::string(1, '\0'));

    auto app = std::make_unique<test::LoopbackApp>(port);
    ASSERT_TRUE(test::PumpUntil([&] { return controller.Connected(); }, 5s));
    EXPECT_FALSE(Listed(name));

    app.reset();
    ASSERT_TRUE(test::PumpUntil([&] { return controller.Server() != nullptr; }, 5s));
    test::PumpFor(1500ms); // the reply of the new registration
    EXPECT_TRUE(Listed(name));
}

TEST(PallorwindPublishTest, PublishedAgainWithinSecondsWhenTheDaemonComesBack) {
    const std::string name = "Pallorwind Comeback";
    ASSERT_TRUE(test::Daemon("stop-daemon"));
    test::LogCapture log;
    Bridge bridge(name);
    const auto published = [&] { return log.Starting("serverDidEnableBonjour: "); };
    Pallorwind& controller = *bridge.controller;
    test::PumpFor(1500ms); // no daemon at the start

    // Without a word from the user: up at start, and again after a restart.
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            ASSERT_TRUE(test::Daemon("stop-daemon"));
        }
        test::PumpFor(round == 0 ? 2s : 4s); // long enough for the pause to grow
        ASSERT_TRUE(test::Daemon("start"));
        const auto back = std::chrono::steady_clock::now();
        ASSERT_TRUE(test::PumpUntil([&] { return published() == round + 1; }, 15s));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
        const auto found = appsim::FindService(name, kServiceType, 10s);
        std::printf("figure: published %.3f s after the daemon was back\n", seconds);
        EXPECT_EQ(found.port, controller.Server()->Port()) << "round " << round;
        EXPECT_LT(seconds, 5.0) << "round " << round;
    }
}

} // namespace
} // namespace pallorwind::osx
