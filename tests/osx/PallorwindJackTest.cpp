// The bridge on a real JACK server: other programs see its two ports and
// play through them to and from an app on loopback.
#include "osx/Pallorwind.h"
#include "osx/Preferences.h"
#include "tests/app/JackPeer.h"
#include "tests/app/JackServer.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackApp.h"
#include "tests/support/MemoryPreferences.h"
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
    auto controller = std::make_unique<Pallorwind>(std::move(context));
    controller->AwakeFromNib();
    ASSERT_NE(controller->Server(), nullptr);

    const std::set<std::string> ports{"pwtest-osx:Pallorwind in", "pwtest-osx:Pallorwind out"};
    ASSERT_TRUE(
        testing::WaitUntil([&] { return testing::PortsStartingWith("pwtest-osx:") == ports; }));
    testing::JackPeer peer("pwosxpeer");
    ASSERT_TRUE(testing::Patch("pwtest-osx:Pallorwind out", "pwosxpeer:in"));
    ASSERT_TRUE(testing::Patch("pwosxpeer-src:out", "pwtest-osx:Pallorwind in"));

    auto app = std::make_unique<test::LoopbackApp>(controller->Server()->Port());
    ASSERT_TRUE(test::PumpUntil([&] { return controller->Connected(); }, 5s));
    ASSERT_TRUE(app->Send({0x90, 0x3C, 0x7F, 0xB0, 0x07, 0x64}));
    ASSERT_TRUE(test::PumpUntil([&] { return peer.Received().size() >= 2; }, 10s));
    EXPECT_EQ(peer.Received(), (std::vector<Message>{{0x90, 0x3C, 0x7F}, {0xB0, 0x07, 0x64}}));

    peer.Play({0xF0, 0x7D, 0x01, 0xF7});
    peer.Play({0x80, 0x3C, 0x00});
    EXPECT_EQ(app->ReadExactly(7), std::string("\xF0\x7D\x01\xF7\x80\x3C\x00", 7));

    // Records are played as the one message each carries, never padded.
    ASSERT_TRUE(app->Send({0xC0, 0x05, 0x00, 0xD0, 0x20, 0x00, 0xF8, 0x00, 0x00}));
    ASSERT_TRUE(test::PumpUntil([&] { return peer.Received().size() >= 5; }, 10s));
    auto received = peer.Received();
    EXPECT_EQ(std::vector<Message>(received.begin() + 2, received.end()),
              (std::vector<Message>{{0xC0, 0x05}, {0xD0, 0x20}, {0xF8}}));

    // The app goes holding C4 and the sustain pedal: both are let go within
    // a tenth of a second.
    ASSERT_TRUE(app->Send({0xB0, 0x40, 0x7F}));
    ASSERT_TRUE(test::PumpUntil([&] { return peer.Received().size() >= 6; }, 10s));
    const auto gone = std::chrono::steady_clock::now();
    app.reset();
    ASSERT_TRUE(test::PumpUntil([&] { return peer.Received().size() >= 8; }, 10s));
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - gone).count();
    std::printf("figure: releases heard %.1f ms after the app closed\n", ms);
    EXPECT_LT(ms, 100.0);
    received = peer.Received();
    EXPECT_EQ(std::vector<Message>(received.begin() + 6, received.end()),
              (std::vector<Message>{{0x80, 0x3C, 0x40}, {0xB0, 0x40, 0x00}}));

    // Quitting with an app that holds a note: released before the ports go.
    ASSERT_TRUE(test::PumpUntil([&] { return controller->Server() != nullptr; }, 5s));
    test::LoopbackApp last(controller->Server()->Port());
    ASSERT_TRUE(test::PumpUntil([&] { return controller->Connected(); }, 5s));
    ASSERT_TRUE(last.Send({0x91, 0x45, 0x60}));
    ASSERT_TRUE(test::PumpUntil([&] { return peer.Received().size() >= 9; }, 10s));
    controller.reset();
    ASSERT_TRUE(test::PumpUntil([&] { return peer.Received().size() >= 10; }, 5s));
    EXPECT_EQ(peer.Received().back(), (Message{0x81, 0x45, 0x40}));
}

} // namespace
} // namespace pallorwind::osx
