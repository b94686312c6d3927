// Restarting the server while the MIDI input thread keeps queueing into it.
#include "tests/support/EventLoop.h"
#include "tests/support/LoopbackApp.h"
#include "tests/support/RecordingCommu.h"
#include "win/net/MidiInProc.h"
#include "win/net/TCPServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using namespace pallorwind::win;
using pallorwind::test::LoopbackApp;
using pallorwind::test::PumpUntil;
using pallorwind::test::RecordingCommu;

TEST(Restart, MidiInputNeverTouchesAServerBeingDestroyed) {
    RecordingCommu commu;
    std::atomic<bool> running{true};
    std::atomic<long> fed{0};
    std::thread midi([&] {
        CServerHolder* const instance = &commu;
        while (running) {
            MidiInProc(nullptr, MidiInNotice::MIM_DATA, instance, 0x00403C90, 0);
            MidiInProc(nullptr, MidiInNotice::MIM_MOREDATA, instance, 0x000000F8, 0);
            fed += 2;
        }
    });
    std::string port = "0";
    std::unique_ptr<LoopbackApp> app; // every other restart has an app connected
    for (int round = 0; round < 40; ++round) {
        commu.RestartServer(&commu, "", port);
        port = commu.ports.back();
        if (app) {
            EXPECT_TRUE(app->WaitForEnd()) << "the old server's session outlived it";
        }
        app.reset();
        if (round % 2) {
            app = std::make_unique<LoopbackApp>(TCPServer::ParsePort(port));
            ASSERT_TRUE(PumpUntil([&] { return commu.Server()->Listener().ClientCount() == 1; }));
            EXPECT_FALSE(app->ReadOnce().empty());
        }
    }
    commu.DeleteServer();
    running = false;
    midi.join();
    EXPECT_GT(fed.load(), 0);
    // A restart keeps the port the server actually got, even with an app
    // connected to the old server.
    EXPECT_EQ(std::count(commu.ports.begin(), commu.ports.end(), commu.ports.front()),
              std::ptrdiff_t(commu.ports.size()));
}

TEST(Restart, TheNextAppStillReceivesTheComputersMidi) {
    RecordingCommu commu;
    commu.RestartServer(&commu, "", "0");
    commu.RestartServer(&commu, "", commu.ports.back());
    CServerHolder* const instance = &commu;
    MidiInProc(nullptr, MidiInNotice::MIM_DATA, instance, 0x00403C90, 0);
    LoopbackApp app(TCPServer::ParsePort(commu.ports.back()));
    EXPECT_EQ(app.ReadExactly(3), std::string("\x90\x3C\x40", 3));
}

TEST(Restart, WithoutAServerTheComputersMidiIsDropped) {
    RecordingCommu commu;
    CServerHolder* const instance = &commu;
    MidiInProc(nullptr, MidiInNotice::MIM_DATA, instance, 0x00403C90, 0); // nothing to queue into
    commu.SetServer(std::make_unique<TCPServer>(&commu, "", "0"));
    MidiInProc(nullptr, MidiInNotice::MIM_DATA, instance, 0x000000F8, 0);
    LoopbackApp app(TCPServer::ParsePort(commu.ports.back()));
    EXPECT_EQ(app.ReadExactly(1, 1s), std::string("\xF8", 1));
}
