// The bridge with its own virtual MIDI ports, driven by test apps on loopback
// and a MIDI system in memory.
#include "osx/Pallorwind.h"
#include "osx/LayoutFiles.h"
#include "platform/settings/QtSettings.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeVirtualMidi.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackApp.h"
#include "tests/support/MemoryPreferences.h"
#include "tests/support/RecordingUi.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pallorwind::osx {
namespace {

using namespace std::chrono_literals;
using test::LoopbackApp;
using test::PumpUntil;

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// A DNS-SD service that accepts every registration; the test says when it
// is published.
struct FakePublisher {
    struct Registration final : platform::DnsSdRegistration {};
    std::vector<platform::DnsSdReplyHandler> handlers;
    ServicePublisher Publisher() {
        return [this](const platform::DnsSdService&, platform::DnsSdReplyHandler onReply) {
            handlers.push_back(std::move(onReply));
            return platform::DnsSdRegisterResult{0, std::make_unique<Registration>()};
        };
    }
    void PublishLatest(const std::string& name) {
        platform::DnsSdReply reply;
        reply.name = name;
        handlers.back()(reply);
    }
};

class PallorwindTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_desktop = m_dir.path().toStdString() + "/Desktop";
        PallorwindContext context;
        context.prefs = &prefs;
        context.midi = &midi;
        context.panels = &panels;
        context.ui = &ui;
        context.publisher = publisher.Publisher();
        context.desktop = m_desktop;
        context.home = m_dir.path().toStdString();
        context.address = "192.0.2.7";
        controller = std::make_unique<Pallorwind>(std::move(context));
        controller->AwakeFromNib();
        ASSERT_NE(controller->Server(), nullptr);
    }

    std::uint16_t Port() const { return controller->Server()->Port(); }
    // Connects an app and waits until the bridge serves it.
    std::unique_ptr<LoopbackApp> Connect() {
        auto app = std::make_unique<LoopbackApp>(Port());
        EXPECT_TRUE(app->Connected());
        EXPECT_TRUE(PumpUntil([&] { return controller->Connected(); }, 5s));
        return app;
    }
    std::string File(const std::string& name) const {
        QFile file(QString::fromStdString(m_desktop + "/" + name));
        return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
    }
    QStringList DesktopFiles() const {
        return QDir(QString::fromStdString(m_desktop)).entryList(QDir::Files | QDir::Hidden);
    }
    // Sends a layout as the app does: marker, then the block, in one write.
    static std::string Transfer(const std::string& content, const std::string& name) {
        return protocol::LayoutMarker() + protocol::EncodeLayoutBlock(content, name);
    }

    QTemporaryDir m_dir;
    std::string m_desktop;
    MemoryPreferences prefs;
    midi::FakeVirtualMidiSystem midi;
    NoPanels panels;
    test::RecordingUi ui;
    FakePublisher publisher;
    test::LogCapture log; // made before the controller, so it sees all it says
    std::unique_ptr<Pallorwind> controller;
};

TEST_F(PallorwindTest, ServesOneAppAtATimeAndListensAgainWhenItGoes) {
    publisher.PublishLatest("Studio");
    const std::uint16_t port = Port();
    EXPECT_EQ(controller->StatusMenu().Text(kTagPort), "Port: " + std::to_string(port));
    EXPECT_EQ(controller->StatusMenu().Text(kTagName), "Name: Studio");
    EXPECT_EQ(controller->StatusMenu().Text(kTagClients), "No clients");

    auto first = Connect();
    EXPECT_EQ(controller->Server(), nullptr);
    auto said = [&](const std::string& line) { return log.Count(line); };
    // A headless user reads the port from the log.
    EXPECT_EQ(said("listening on TCP port " + std::to_string(port)), 1);
    EXPECT_EQ(controller->StatusMenu().Text(kTagClients), "1 Client connected");
    EXPECT_EQ(controller->Icon(), platform::TrayIcon::Connected);

    // Nothing listens while the app is served: a second app is refused.
    LoopbackApp second(port);
    test::PumpFor(100ms);
    EXPECT_TRUE(!second.Connected() || second.WaitForEnd(2s));
    EXPECT_TRUE(controller->Connected());

    first->Close();
    ASSERT_TRUE(PumpUntil([&] { return controller->Server() != nullptr; }, 5s));
    EXPECT_FALSE(controller->Connected());
    EXPECT_EQ(controller->StatusMenu().Text(kTagClients), "No clients");
    EXPECT_EQ(controller->Icon(), platform::TrayIcon::Idle);
    // Said again each time it listens again.
    EXPECT_EQ(said("listening on TCP port " + std::to_string(Port())), port == Port() ? 2 : 1);
    auto third = Connect();
    EXPECT_TRUE(controller->Connected());
}

TEST_F(PallorwindTest, AnAppThatGoesLeavesNothingHeldAndNothingOpen) {
    auto first = Connect();
    // C4 and the sustain pedal held; G4 let go by the app itself.
    ASSERT_TRUE(
        first->Send({0x90, 0x3C, 0x7F, 0xB0, 0x40, 0x7F, 0x90, 0x43, 0x40, 0x90, 0x43, 0x00}));
    ASSERT_TRUE(PumpUntil([&] { return midi.Sent().size() == 4; }, 5s));

    // A new name drops the app, and an app that reaches the new listener in
    // the same turn is served: both the old listener and the old app are
    // let go of on the next turn.
    controller->SetName("Elsewhere");
    LoopbackApp second(Port());
    ASSERT_TRUE(PumpUntil([&] { return controller->Connected(); }, 5s));
    EXPECT_TRUE(first->WaitForEnd(2s));
    ASSERT_TRUE(PumpUntil([&] { return controller->Retired() == 0; }, 2s));
    auto sent = midi.Sent();
    ASSERT_EQ(sent.size(), 6u);
    EXPECT_EQ(sent[4], "\x80\x3C\x40");
    EXPECT_EQ(sent[5], std::string("\xB0\x40\x00", 3));

    // Renaming the MIDI ports lets go before the old ports vanish; quitting
    // with an app connected lets go too.
    ASSERT_TRUE(second.Send({0x91, 0x45, 0x60}));
    ASSERT_TRUE(PumpUntil([&] { return midi.Sent().size() == 7; }, 5s));
    controller->SetMidiPort("Two");
    EXPECT_EQ(midi.Sent().back(), "\x81\x45\x40");
    ASSERT_TRUE(second.Send({0x91, 0x46, 0x60}));
    ASSERT_TRUE(PumpUntil([&] { return midi.Sent().size() == 9; }, 5s));
    controller.reset();
    EXPECT_EQ(midi.Sent().size(), 10u);
    EXPECT_EQ(midi.Sent().back(), "\x81\x46\x40");
}

TEST_F(PallorwindTest, CarriesMidiBothWaysUnchanged) {
    auto app = Connect();
    ASSERT_TRUE(app->Send({0x90, 0x3C, 0x7F, 0x80, 0x3C, 0x00}));
    ASSERT_TRUE(PumpUntil([&] { return midi.Sent().size() == 2; }, 5s));
    // Each record is the one message it carries: its padding is not played,
    // and a record that TCP cut in two is played once whole, never half.
    ASSERT_TRUE(app->Send({0xC0, 0x05, 0x00, 0xD0, 0x20}));
    ASSERT_TRUE(PumpUntil([&] { return midi.Sent().size() == 3; }, 5s));
    test::PumpFor(50ms);
    EXPECT_EQ(midi.Sent().size(), 3u);
    ASSERT_TRUE(app->Send({0x00, 0xF8, 0x00, 0x00}));
    ASSERT_TRUE(PumpUntil([&] { return midi.Sent().size() == 5; }, 5s));
    EXPECT_EQ(midi.Sent(), (std::vector<std::string>{"\x90\x3C\x7F", std::string("\x80\x3C\x00", 3),
                                                     "\xC0\x05", "\xD0\x20", "\xF8"}));

    // While the MIDI server is away the ports refuse: one line for the run.
    midi.SetNotReady(true);
    ASSERT_TRUE(app->Send({0x90, 0x40, 0x7F, 0x80, 0x40, 0x00}));
    ASSERT_TRUE(PumpUntil([&] { return log.Last().starts_with("MIDI ports not ready"); }, 5s));
    test::PumpFor(50ms);
    midi.SetNotReady(false);
    EXPECT_EQ(log.Starting("MIDI ports"), 1);
    EXPECT_EQ(log.Last(), "MIDI ports not ready, not played: 90 40 7F  note-on ch1 64 127 (nor "
                          "what follows until they are ready again)");

    // Packets from other programs reach the app as they came, SysEx included.
    midi.Play("\xF0\x7E\x7F\x06\x01\xF7");
    midi.Play("\xF8");
    EXPECT_EQ(app->ReadExactly(7), "\xF0\x7E\x7F\x06\x01\xF7\xF8");
}

TEST_F(PallorwindTest, MidiFromAnotherThreadNeverCutsIntoALayoutSent) {
    auto app = Connect();
    const std::string path = m_dir.path().toStdString() + "/Big Set.plw";
    const std::string content(3000, 'L');
    {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content.data(), qint64(content.size()));
    }
    std::atomic<bool> stop{false};
    std::atomic<int> played{0};
    std::vector<std::thread> players;
    for (int i = 0; i < 3; ++i)
        players.emplace_back([&] {
            while (!stop) {
                midi.Play("\x90\x40\x7F");
                ++played;
            }
        });
    constexpr int kSends = 100;
    for (int i = 0; i < kSends; ++i) {
        // Each send lands among plays.
        const int before = played;
        while (played < before + 2)
            std::this_thread::yield();
        EXPECT_TRUE(controller->OpenFile(path));
    }
    stop = true;
    for (auto& player : players)
        player.join();

    // The stream is whole transfers and whole MIDI messages, nothing else.
    const std::string transfer = Transfer(content, "Big Set.plw");
    std::string got;
    int transfers = 0;
    std::size_t at = 0;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (transfers < kSends && std::chrono::steady_clock::now() < end) {
        got += app->ReadOnce(200ms);
        while (true) {
            if (got.compare(at, 3, "\x90\x40\x7F") == 0) {
                at += 3;
            } else if (got.size() - at >= transfer.size()) {
                ASSERT_EQ(got.substr(at, transfer.size()), transfer) << "at " << at;
                at += transfer.size();
                ++transfers;
            } else {
                break;
            }
        }
    }
    EXPECT_EQ(transfers, kSends);
}

TEST_F(PallorwindTest, SendsAnOpenedLayoutOnlyToAConnectedApp) {
    const std::string path = m_dir.path().toStdString() + "/Pads.plw";
    {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("abc", 3);
    }
    EXPECT_FALSE(controller->OpenFile(path));
    controller->OpenFileWhenConnected(path);
    auto app = Connect();
    const std::string expected = Transfer("abc", "Pads.plw");
    EXPECT_EQ(app->ReadExactly(expected.size()), expected);
    EXPECT_EQ(expected.substr(3, 16), std::string("3") + std::string(15, '\0'));
}

TEST_F(PallorwindTest, SavesLayoutsFromTheAppOnTheDesktopAndNowhereElse) {
    // The Desktop folder does not exist yet: it is made.
    auto app = Connect();
    auto send = [&](const std::string& bytes, const QString& expectFile) {
        EXPECT_TRUE(app->Send(Bytes(bytes)));
        EXPECT_TRUE(PumpUntil([&] { return DesktopFiles().contains(expectFile); }, 5s))
            << expectFile.toStdString() << " in " << DesktopFiles().join(", ").toStdString();
        EXPECT_TRUE(PumpUntil([&] { return controller->ReceiveMode() == Pallorwind::Mode::Midi; }));
    };
    send(Transfer("hello", "Drums"), "Drums.plw");
    EXPECT_EQ(File("Drums.plw"), "hello");
    // The same name again never replaces the first file.
    send(Transfer("again", "Drums"), "Drums (2).plw");
    EXPECT_EQ(File("Drums.plw"), "hello");
    EXPECT_EQ(File("Drums (2).plw"), "again");
    // Names that would leave the folder, hide the file or hold NUL.
    send(Transfer("x", "../../etc/evil"), "_.._etc_evil.plw");
    send(Transfer("y", ".."), "Layout.plw");
    send(Transfer("z", std::string("a\0b/c", 5)), "a_b_c.plw");
    send(Transfer("w", std::string(600, 'n')), QString(200, u'n') + ".plw");
    EXPECT_FALSE(QFile::exists(m_dir.path() + "/etc"));
    EXPECT_FALSE(QFile::exists(m_dir.path() + "/evil.plw"));
    // Only finished files: no temporary file is left behind.
    for (const QString& name : DesktopFiles())
        EXPECT_TRUE(name.endsWith(".plw") && !name.startsWith('.')) << name.toStdString();

    // A marker cut by TCP: the block still starts after its third byte.
    ASSERT_TRUE(app->Send({0xFF}));
    test::PumpFor(50ms);
    send(Transfer("split", "Cut").substr(1), "Cut.plw");
    EXPECT_EQ(File("Cut.plw"), "split");

    // The name is what had arrived when the content was whole: later bytes
    // are MIDI again.
    send(Transfer("12345", "N"), "N.plw");
    ASSERT_TRUE(app->Send(Bytes("\x90\x3C\x7F")));
    ASSERT_TRUE(PumpUntil([&] { return !midi.Sent().empty(); }, 5s));
    EXPECT_EQ(midi.Sent().back(), "\x90\x3C\x7F");

    // A length beyond the cap is refused before anything is buffered; the
    // block is skipped to its end, and MIDI flows on after it.
    const std::size_t tooLarge = protocol::kMaxLayoutContentSize + 1;
    const std::size_t boxes = ui.boxes.size();
    bool sent = false;
    std::thread sender(
        [&] { sent = app->Send(Bytes(Transfer(std::string(tooLarge, 'c'), "Big"))); });
    const bool told = PumpUntil([&] { return ui.boxes.size() == boxes + 1; }, 20s);
    sender.join();
    ASSERT_TRUE(sent && told);
    EXPECT_NE(ui.boxes.back().first.find("too large"), std::string::npos);
    EXPECT_EQ(controller->ReceiveMode(), Pallorwind::Mode::Midi);
    ASSERT_TRUE(app->Send({0x80, 0x3C, 0x00}));
    ASSERT_TRUE(
        PumpUntil([&] { return midi.Sent().back() == std::string("\x80\x3C\x00", 3); }, 5s));
    EXPECT_EQ(DesktopFiles().size(), 8);
}

TEST_F(PallorwindTest, SavesWhereTheDesktopCannotBeMadeAndSaysWhere) {
    // A file where the Desktop folder should be: the home folder takes it.
    QFile blocker(QString::fromStdString(m_desktop));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    auto app = Connect();
    ASSERT_TRUE(app->Send(Bytes(Transfer("home", "Keys"))));
    const QString saved = m_dir.path() + "/Keys.plw";
    ASSERT_TRUE(PumpUntil([&] { return ui.boxes.size() == 1; }, 5s));
    EXPECT_TRUE(QFile::exists(saved));
    EXPECT_NE(ui.boxes[0].first.find(saved.toStdString()), std::string::npos);
}

TEST_F(PallorwindTest, PreferencesRoundTripAndDefaultItems) {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    {
        platform::QtSettings file(kPrefsOrganisation, kPrefsApplication);
        Preferences stored(file);
        SetPrefs(stored);
        EXPECT_EQ(stored.Value(kPrefServer), "");
        EXPECT_EQ(stored.Integer(kPrefPort), 0);
        EXPECT_EQ(stored.Value(kPrefMidi), "");
        EXPECT_EQ(stored.Value(kPrefPrefs), "1");
        stored.SetValue(kPrefServer, "Stage Left");
        stored.SetInteger(kPrefPort, 50123);
        SetPrefs(stored); // keeps what is there
    }
    platform::QtSettings file(kPrefsOrganisation, kPrefsApplication);
    Preferences reread(file);
    EXPECT_EQ(reread.Value(kPrefServer), "Stage Left");
    EXPECT_EQ(reread.Integer(kPrefPort), 50123);

    // Defaults on first run, all three default items checked and disabled.
    EXPECT_EQ(prefs.values.at(kPrefPrefs), "1");
    const auto item = [&](int tag) { return *controller->StatusMenu().Find(tag); };
    for (int tag : {kTagDefaultName, kTagAutoPort, kTagDefaultMidi}) {
        EXPECT_TRUE(item(tag).checked);
        EXPECT_FALSE(item(tag).enabled);
    }
    EXPECT_EQ(controller->StatusMenu().Text(kTagAddress), "IP: 192.0.2.7");

    // A port set through the panel unchecks its item even when it is 0.
    controller->SetPort(0);
    EXPECT_FALSE(item(kTagAutoPort).checked);
    EXPECT_TRUE(item(kTagAutoPort).enabled);
    controller->ResetPort();
    EXPECT_EQ(prefs.values.at(kPrefPort), "0");
    EXPECT_TRUE(item(kTagAutoPort).checked);
    TCPServer* server = controller->Server();
    controller->ResetPort(); // already checked: nothing happens
    EXPECT_EQ(controller->Server(), server);

    // A MIDI name change: the old ports go before the new ones come.
    controller->SetMidiPort("Studio");
    EXPECT_EQ(prefs.values.at(kPrefMidi), "Studio");
    EXPECT_EQ(controller->StatusMenu().Text(kTagMidi), "Midi: Pallorwind Studio");
    EXPECT_EQ(midi.Events(), (std::vector<std::string>{"create Pallorwind", "close Pallorwind",
                                                       "create Pallorwind Studio"}));
}

TEST_F(PallorwindTest, TriesATakenPortAgainAtAGrowingPace) {
    TCPServer holder;
    ASSERT_TRUE(holder.Start(nullptr));
    controller->SetPort(holder.Port());
    EXPECT_EQ(controller->Server(), nullptr);
    const auto failures = [&] {
        return log.Starting("Failed creating server: Error Domain=TCPServerErrorDomain Code=1");
    };
    test::PumpFor(1000ms); // tries at 0, 0.25 and 0.75 s
    EXPECT_GE(failures(), 2);
    EXPECT_LE(failures(), 4);

    holder.Stop();
    ASSERT_TRUE(PumpUntil([&] { return controller->Server() != nullptr; }, 5s));
    EXPECT_EQ(controller->Server()->Port(), holder.Port());
}

TEST(TCPServerTest, BindsListensAndDescribesItself) {
    TCPServer server([](const platform::DnsSdService&, platform::DnsSdReplyHandler) {
        return platform::DnsSdRegisterResult{0, nullptr};
    });
    EXPECT_FALSE(server.EnableBonjour("local", kServiceType, ""));
    TCPServerError error;
    ASSERT_TRUE(server.Start(&error));
    EXPECT_NE(server.Port(), 0);

    TCPServer taken;
    taken.SetPort(server.Port());
    EXPECT_FALSE(taken.Start(&error));
    EXPECT_EQ(error.domain, "TCPServerErrorDomain");
    EXPECT_EQ(error.code, kTCPServerCouldNotBindToIPv4Address);

    server.SetPort(50000);
    char expected[64];
    std::snprintf(expected, sizeof expected, "<TCPServer = 0x%08X | port 50000 | netService = ",
                  unsigned(reinterpret_cast<std::uintptr_t>(&server)));
    EXPECT_EQ(server.Description().rfind(expected, 0), 0u) << server.Description();
}

} // namespace
} // namespace pallorwind::osx
