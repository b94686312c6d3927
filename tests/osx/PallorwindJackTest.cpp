// The bridge on a real JACK server: other programs see its two ports and
// play through them to and from an app on loopback.
#include "osx/Pallorwind.h"
#include "osx/Preferences.h"
#include "tests/app/JackPeer.h"
#include "tests/app/JackServer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackApp.h"
#include "tests/support/RecordingUi.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

namespace pallorwind::osx {
namespace {

using namespace std::chrono_literals;
using Message = testing::JackPeer::Message;

TEST(PallorwindOnJack, TheAppAndOtherProgramsPlayThroughPortsNamedAfterTheBridge) {
    auto system = midi::CreateVirtualMidiSystem(
        {"pwtest-osx", [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }},
        midi::MidiApi::Jack);
    QTemporaryDir home;
    MemoryPreferences prefs;
    NoPanels panels;
    test::RecordingUi ui;
    struct Registration final : platform::DnsSdRegistration {};
    PallorwindContext context;
    context.prefs = &prefs;
    context.midi = system.get();
    context.panels = &panels;
    context.ui = &ui;
    context.publisher = [](const platform::DnsSdService&, platform::DnsSdReplyHandler) {
        return platform::DnsSdRegisterResult{0, std::make_unique<Registration>()};
    };
    context.desktop = home.path().toStdString() + "/Desktop";
    context.home = home.path().toStdString();
    Pallorwind controller(std::move(context));
    controller.AwakeFromNib();
    ASSERT_NE(controller.Server(), nullptr);

    const std::set<std::string> ports{"pwtest-osx:Pallorwind in", "pwtest-osx:Pallorwind out"};
    ASSERT_TRUE(
        testing::WaitUntil([&] { return testing::PortsStartingWith("pwtest-osx:") == ports; }));
    testing::JackPeer peer("pwosxpeer");
    ASSERT_TRUE(testing::Patch("pwtest-osx:Pallorwind out", "pwosxpeer:in"));
    ASSERT_TRUE(testing::Patch("pwosxpeer-src:out", "pwtest-osx:Pallorwind in"));

    test::LoopbackApp app(controller.Server()->Port());
    ASSERT_TRUE(test::PumpUntil([&] { return controller.Connected(); }, 5s));
    ASSERT_TRUE(app.Send({0x90, 0x3C, 0x7F, 0xB0, 0x07, 0x64}));
    ASSERT_TRUE(test::PumpUntil([&] { return peer.Received().size() >= 2; }, 10s));
    EXPECT_EQ(peer.Received(), (std::vector<Message>{{0x90, 0x3C, 0x7F}, {0xB0, 0x07, 0x64}}));

    peer.Play({0xF0, 0x7D, 0x01, 0xF7});
    peer.Play({0x80, 0x3C, 0x00});
    EXPECT_EQ(app.ReadExactly(7), std::string("\xF0\x7D\x01\xF7\x80\x3C\x00", 7));
}

} // namespace
} // namespace pallorwind::osx
