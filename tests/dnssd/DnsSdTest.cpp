// The bridge's DNS-SD advertisement against a real daemon on loopback, found
// from inside the test the way the app finds it (browse, resolve).
#include "platform/dnssd/DnsSd.h"
#include "tests/support/AvahiDaemon.h"
#include "tests/support/EventLoop.h"
#include "tests/support/FakeMidiSystem.h"
#include "tests/support/HeadlessShell.h"
#include "tests/support/LoopbackApp.h"
#include "tests/support/MemorySettingsStore.h"
#include "tests/support/RecordingCommu.h"
#include "tests/support/RecordingUi.h"
#include "tools/appsim/AppSim.h"
#include "tools/appsim/Discovery.h"
#include "win/app/CPallorwindOSXDlg.h"
#include "win/net/DnsSdAdvertiser.h"
#include "win/net/TCPServer.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using namespace pallorwind::win;
using pallorwind::appsim::BrowseServices;
using pallorwind::appsim::FindService;
using pallorwind::appsim::FoundService;
using pallorwind::test::Daemon;
using pallorwind::test::LoopbackApp;
using pallorwind::test::PumpFor;
using pallorwind::test::PumpUntil;
using State = DnsSdAdvertiser::State;
using Clock = std::chrono::steady_clock;

namespace {

// The host name the test daemon is configured with: the default service name.
constexpr const char* kDaemonHostName = "pallorwind-ci";

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Context switches of the threads called `name` in this process; -1 if none.
long ContextSwitches(const std::string& name) {
    long total = -1;
    DIR* tasks = ::opendir("/proc/self/task");
    while (dirent* entry = tasks ? ::readdir(tasks) : nullptr) {
        const std::string dir = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(dir + "/comm"), comm);
        if (comm != name)
            continue;
        std::ifstream status(dir + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos)
                total = std::max(total, 0L) + std::stol(line.substr(line.find(':') + 1));
        }
    }
    if (tasks)
        ::closedir(tasks);
    return total;
}

bool Listed(const std::string& name, std::chrono::milliseconds browseFor) {
    const auto found = BrowseServices(kServiceType, browseFor);
    return std::any_of(found.begin(), found.end(),
                       [&](const FoundService& s) { return s.name == name; });
}

// Another host on the loopback interface that claims `name` for itself: it
// announces the service's SRV and TXT records with other data, over and over,
// from the mDNS port (multicast on lo only).
class ForeignResponder {
public:
    explicit ForeignResponder(const std::string& name) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(5353);
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ready = ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        in_addr loopback{htonl(INADDR_LOOPBACK)};
        m_ready = m_ready &&
                  ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) == 0;
        const unsigned char ttl = 255;
        ::setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
        m_packet = Announcement(name);
        m_thread = std::thread([this] {
            sockaddr_in group{};
            group.sin_family = AF_INET;
            group.sin_port = htons(5353);
            group.sin_addr.s_addr = htonl(0xE00000FB); // 224.0.0.251
            std::unique_lock lock(m_lock);
            while (!m_stop) {
                ::sendto(m_fd, m_packet.data(), m_packet.size(), 0,
                         reinterpret_cast<sockaddr*>(&group), sizeof group);
                m_wake.wait_for(lock, 50ms);
            }
        });
    }
    ~ForeignResponder() {
        {
            const std::lock_guard lock(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
        ::close(m_fd);
    }
    bool Ready() const { return m_ready; }

private:
    static void Name(std::string& out, const std::vector<std::string>& labels) {
        for (const std::string& label : labels) {
            out += char(label.size());
            out += label;
        }
        out += '\0';
    }
    static void U16(std::string& out, unsigned value) {
        out += char(value >> 8);
        out += char(value & 0xFF);
    }
    static void Record(std::string& out, const std::string& name, unsigned type,
                       const std::string& data) {
        Name(out, {name, "_pallorwind", "_tcp", "local"});
        U16(out, type);
        U16(out, 0x8001); // IN, this host's own record (cache flush)
        U16(out, 0);
        U16(out, 120); // TTL
        U16(out, unsigned(data.size()));
        out += data;
    }
    static std::string Announcement(const std::string& name) {
        std::string packet;
        U16(packet, 0);      // id
        U16(packet, 0x8400); // authoritative response
        U16(packet, 0);      // questions
        U16(packet, 2);      // answers
        U16(packet, 0);
        U16(packet, 0);
        std::string srv;
        U16(srv, 0); // priority
        U16(srv, 0); // weight
        U16(srv, 9); // port
        Name(srv, {"elsewhere", "local"});
        Record(packet, name, 33, srv);                         // SRV
        Record(packet, name, 16, std::string("\x05other", 6)); // TXT
        return packet;
    }

    int m_fd = -1;
    bool m_ready = false;
    std::string m_packet;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

struct RecordingPrompt : RegistrationErrorPrompt {
    void AskRegistrationError(RegistrationErrorAnswer answer) override {
        ++asked;
        answer(ok, dontShowAgain);
    }
    int asked = 0;
    bool ok = false, dontShowAgain = false;
};

// A controller that keeps the display flag and drops its server when the
// name is refused, as the real ones do.
struct DiscoveryCommu : pallorwind::test::RecordingCommu {
    bool GetDisplayBonjourMsg() override { return display; }
    void SetDisplayBonjourMsg(bool value) override {
        display = value;
        ++displayChanges;
    }
    void OnServerFailed() override {
        ++failed;
        failedOnMainThread = std::this_thread::get_id() == mainThread;
        DeleteServer();
    }
    bool display = true;
    int displayChanges = 0;
    int failed = 0;
    bool failedOnMainThread = false;
    std::thread::id mainThread = std::this_thread::get_id();
};

class DnsSd : public ::testing::Test {
protected:
    // A test that stopped the daemon leaves it running again for the next.
    void TearDown() override {
        if (m_stopped) {
            EXPECT_TRUE(Daemon("start"));
        }
    }
    bool StopDaemon() {
        m_stopped = true;
        return Daemon("stop-daemon");
    }
    bool StartDaemon() {
        m_stopped = false;
        return Daemon("start");
    }

private:
    bool m_stopped = false;
};

TEST_F(DnsSd, RegistersNameTypePortAndEmptyTextSleepsWhileIdleAndWithdraws) {
    DiscoveryCommu commu;
    const auto start = Clock::now();
    auto named = std::make_unique<DnsSdAdvertiser>(nullptr);
    ASSERT_TRUE(named->Register("Pallorwind Test", "50445", &commu));
    ASSERT_TRUE(PumpUntil([&] { return named->CurrentState() == State::Registered; }, 10s));
    std::printf("figure: registered %.3f s after the call\n", Seconds(Clock::now() - start));
    EXPECT_EQ(named->RegisteredName(), "Pallorwind Test");

    const FoundService found = FindService("Pallorwind Test", kServiceType, 10s);
    EXPECT_EQ(found.type, std::string(kServiceType) + ".");
    EXPECT_EQ(found.port, 50445);
    EXPECT_EQ(found.portBytes[0], 0xC5); // network byte order
    EXPECT_EQ(found.portBytes[1], 0x0D);
    // No TXT data: the smallest legal record, a single empty string.
    EXPECT_TRUE(found.txt.empty() || found.txt == std::string(1, '\0'));
    EXPECT_EQ(found.address, "127.0.0.1");

    // "." stands for the computer's default name.
    auto unnamed = std::make_unique<DnsSdAdvertiser>(nullptr);
    ASSERT_TRUE(unnamed->Register(".", "50446", &commu));
    ASSERT_TRUE(PumpUntil([&] { return unnamed->CurrentState() == State::Registered; }, 10s));
    EXPECT_EQ(unnamed->RegisteredName(), kDaemonHostName);
    EXPECT_EQ(FindService(kDaemonHostName, kServiceType, 10s).port, 50446);

    // Nothing happens, so the processing threads do not wake up. Every
    // DNS-SD client's traffic on the daemon wakes them briefly, and tests run
    // side by side: some second of the next eight is quiet all the same,
    // while a thread that polls every half second or faster wakes at least
    // twice in each.
    const char* const thread = pallorwind::platform::kDnsSdThreadName;
    ASSERT_GE(ContextSwitches(thread), 0);
    std::vector<long> wakeUps;
    while (wakeUps.size() < 8 && (wakeUps.empty() || wakeUps.back() > 1)) {
        const long before = ContextSwitches(thread);
        PumpFor(1s);
        wakeUps.push_back(ContextSwitches(thread) - before);
    }
    std::string counts;
    for (const long n : wakeUps)
        counts += " " + std::to_string(n);
    std::printf("figure: wake-ups of the DNS-SD threads per idle second:%s\n", counts.c_str());
    EXPECT_LE(wakeUps.back(), 1) << counts;

    named.reset();
    unnamed.reset();
    EXPECT_EQ(ContextSwitches(thread), -1); // joined
    // The daemon withdraws at once; a loaded machine may take a while to say so.
    EXPECT_TRUE(PumpUntil([] { return !Listed("Pallorwind Test", 1500ms); }, 10s));
    EXPECT_FALSE(Listed(kDaemonHostName, 0ms));
}

TEST_F(DnsSd, ANameHeldWithOtherDataIsRefusedAndTheControllerDropsItsServer) {
    // The same name with the same data is the same service: no clash.
    DiscoveryCommu other;
    DnsSdAdvertiser holder(nullptr), twin(nullptr);
    ASSERT_TRUE(holder.Register("Pallorwind Taken", "4000", &other));
    ASSERT_TRUE(twin.Register("Pallorwind Taken", "4000", &other));
    ASSERT_TRUE(PumpUntil([&] {
        return holder.CurrentState() == State::Registered &&
               twin.CurrentState() == State::Registered;
    }));
    EXPECT_EQ(twin.RegisteredName(), "Pallorwind Taken");

    // The headless bridge under that name with its own port is refused.
    pallorwind::midi::FakeMidiSystem midi;
    MemorySettingsStore settings;
    settings.values = {{kSettingName, "Pallorwind Taken"}};
    pallorwind::test::RecordingUi ui;
    pallorwind::test::HeadlessShell shell(ui);
    CPallorwindOSXDlg controller(settings, midi, ui, shell.Parts(),
                                 pallorwind::test::HeadlessOptions("studio-pc"));
    controller.SetAdvertiserFactory(MakeDnsSdAdvertiserFactory(&controller));
    controller.Start();
    EXPECT_NE(controller.Server(), nullptr); // not inside the registration
    ASSERT_TRUE(PumpUntil([&] { return controller.Server() == nullptr; }));
    EXPECT_EQ(controller.Name(), "Pallorwind Taken");

    // Through the network link's controller interface: on the main thread,
    // no dialog, and another name builds a server that is found.
    DiscoveryCommu commu;
    RecordingPrompt prompt;
    commu.SetServer(std::make_unique<TCPServer>(&commu, "Pallorwind Taken", "0",
                                                MakeDnsSdAdvertiserFactory(&prompt)));
    ASSERT_TRUE(PumpUntil([&] { return commu.failed == 1; }));
    EXPECT_TRUE(commu.failedOnMainThread);
    EXPECT_EQ(commu.Server(), nullptr);
    EXPECT_EQ(prompt.asked, 0);
    commu.SetServer(std::make_unique<TCPServer>(&commu, "Pallorwind Free", "0",
                                                MakeDnsSdAdvertiserFactory(&prompt)));
    EXPECT_EQ(FindService("Pallorwind Free", kServiceType, 10s).port,
              TCPServer::ParsePort(commu.ports.back()));
    PumpFor(200ms);
    EXPECT_EQ(commu.failed, 1);
}

TEST_F(DnsSd, ANameAnotherHostHoldsIsRenamedByTheServiceAndStillShownAsChosen) {
    ForeignResponder other("Pallorwind Clash");
    ASSERT_TRUE(other.Ready());
    pallorwind::midi::FakeMidiSystem midi;
    MemorySettingsStore settings;
    settings.values = {{kSettingName, "Pallorwind Clash"}};
    pallorwind::test::RecordingUi ui;
    pallorwind::test::HeadlessShell shell(ui);
    CPallorwindOSXDlg controller(settings, midi, ui, shell.Parts(),
                                 pallorwind::test::HeadlessOptions("studio-pc"));
    controller.SetAdvertiserFactory(MakeDnsSdAdvertiserFactory(&controller));
    controller.Start();
    const FoundService found = FindService("Pallorwind Clash #2", kServiceType, 10s);
    EXPECT_EQ(found.port, TCPServer::ParsePort(controller.Port()));
    PumpFor(200ms);
    EXPECT_NE(controller.Server(), nullptr);
    EXPECT_EQ(controller.Name(), "Pallorwind Clash");
}

TEST_F(DnsSd, ComesBackAfterTheDaemonRestartsWhileAnAppStaysServedByAddress) {
    DiscoveryCommu commu;
    DnsSdAdvertiser* advertiser = nullptr;
    commu.SetServer(std::make_unique<TCPServer>(&commu, "Pallorwind Restart", "0", [&] {
        auto made = std::make_unique<DnsSdAdvertiser>(nullptr);
        advertiser = made.get();
        return made;
    }));
    ASSERT_TRUE(PumpUntil([&] { return advertiser->CurrentState() == State::Registered; }));
    LoopbackApp app(TCPServer::ParsePort(commu.ports.back()));
    ASSERT_TRUE(PumpUntil([&] { return commu.connects == 1; }));

    ASSERT_TRUE(StopDaemon());
    ASSERT_TRUE(PumpUntil([&] { return advertiser->CurrentState() == State::Waiting; }));
    ASSERT_TRUE(app.Send({0x90, 0x3C, 0x7F}));
    ASSERT_TRUE(PumpUntil([&] { return commu.Played().size() == 1; }));

    ASSERT_TRUE(StartDaemon());
    const auto back = Clock::now();
    ASSERT_TRUE(PumpUntil([&] { return advertiser->CurrentState() == State::Registered; }, 15s));
    const FoundService found = FindService("Pallorwind Restart", kServiceType, 10s);
    const double seconds = Seconds(Clock::now() - back);
    std::printf("figure: found again %.3f s after the daemon was back\n", seconds);
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(found.port, TCPServer::ParsePort(commu.ports.back()));

    ASSERT_TRUE(app.Send({0x80, 0x3C, 0x00}));
    ASSERT_TRUE(PumpUntil([&] { return commu.Played().size() == 2; }));

    // The app simulator lists it and finds it by name, as the app does.
    std::ostringstream out, err;
    EXPECT_EQ(pallorwind::appsim::AppSimMain({"--browse"}, out, err), 0) << err.str();
    EXPECT_NE(out.str().find("\"Pallorwind Restart\" pallorwind-ci.local. 127.0.0.1:" +
                             commu.ports.back() + "\n"),
              std::string::npos)
        << out.str();
    EXPECT_EQ(pallorwind::appsim::AppSimMain({"--listen-for", "0", "Pallorwind Restart", "C0:05"},
                                             out, err),
              0)
        << err.str();
    ASSERT_TRUE(PumpUntil([&] { return commu.Played().size() == 3; }));
    EXPECT_EQ(commu.Played().back(), 0x05C0u);
    // A name that is not there: the answer names the bridges that are.
    try {
        FindService("Studio PC", kServiceType, 300ms);
        ADD_FAILURE() << "found a bridge that is not there";
    } catch (const pallorwind::appsim::DiscoveryError& error) {
        // (Other bridges on this machine's daemon may be listed too.)
        const std::string said = error.what();
        EXPECT_EQ(said.rfind("no bridge called \"Studio PC\" found; found ", 0), 0u) << said;
        EXPECT_NE(said.find("\"Pallorwind Restart\""), std::string::npos) << said;
    }
    EXPECT_EQ(commu.connects, 2);
    EXPECT_EQ(commu.failed, 0);
}

TEST_F(DnsSd, WithoutADaemonTheDialogIsAskedOncePerStartUntilSilencedAndTheDaemonIsTakenLater) {
    ASSERT_TRUE(StopDaemon());
    const DnsSdBackoff quick{20ms, 80ms};
    DiscoveryCommu commu;
    RecordingPrompt prompt;

    // Closed another way than OK: nothing changes; retries ask nothing more.
    // The registration call runs off the event loop: its failure comes later.
    commu.SetServer(std::make_unique<TCPServer>(&commu, "Pallorwind Late", "0",
                                                MakeDnsSdAdvertiserFactory(&prompt, quick)));
    ASSERT_TRUE(PumpUntil([&] { return prompt.asked == 1; }));
    PumpFor(500ms);
    EXPECT_EQ(prompt.asked, 1);
    EXPECT_EQ(commu.displayChanges, 0);

    // OK with the box ticked switches it off, for this and every later start.
    prompt.ok = prompt.dontShowAgain = true;
    commu.SetServer(std::make_unique<TCPServer>(&commu, "Pallorwind Late", "0",
                                                MakeDnsSdAdvertiserFactory(&prompt, quick)));
    ASSERT_TRUE(PumpUntil([&] { return prompt.asked == 2; }));
    EXPECT_FALSE(commu.display);
    commu.SetServer(std::make_unique<TCPServer>(&commu, "Pallorwind Late", "0",
                                                MakeDnsSdAdvertiserFactory(&prompt, quick)));
    PumpFor(300ms);
    EXPECT_EQ(prompt.asked, 2);

    // The server listens on meanwhile, and registers once the daemon comes.
    LoopbackApp app(TCPServer::ParsePort(commu.ports.back()));
    ASSERT_TRUE(PumpUntil([&] { return commu.connects == 1; }));
    ASSERT_TRUE(StartDaemon());
    EXPECT_EQ(FindService("Pallorwind Late", kServiceType, 10s).port,
              TCPServer::ParsePort(commu.ports.back()));
    EXPECT_EQ(prompt.asked, 2);
}

// Servers built and torn down while the daemon goes away and comes back: no
// registration's thread touches a withdrawn reference or another's state.
TEST_F(DnsSd, RegisterWithdrawAndRestartInALoop) {
    DiscoveryCommu commu;
    const DnsSdBackoff quick{20ms, 160ms};
    std::atomic<bool> restarted{false};
    std::thread daemon([&] {
        const char* script = std::getenv("PALLORWIND_AVAHI_SCRIPT");
        std::this_thread::sleep_for(300ms);
        std::system((std::string(script) + " stop-daemon").c_str());
        std::system((std::string(script) + " start").c_str());
        restarted = true;
    });
    int round = 0;
    for (; round < 12 || !restarted; ++round) {
        DnsSdAdvertiser* advertiser = nullptr;
        commu.SetServer(std::make_unique<TCPServer>(
            &commu, "Pallorwind Loop " + std::to_string(round % 3), "0", [&] {
                auto made = std::make_unique<DnsSdAdvertiser>(nullptr, quick);
                advertiser = made.get();
                return made;
            }));
        // Others' traffic wakes every registration's thread: withdraw while
        // theirs is being read.
        std::vector<std::unique_ptr<DnsSdAdvertiser>> others;
        for (int i = 0; i < 3; ++i) {
            others.push_back(std::make_unique<DnsSdAdvertiser>(nullptr, quick));
            others.back()->Register("Pallorwind Other " + std::to_string(i), "4000", &commu);
        }
        if (round % 2) // withdrawn once registered, or while still pending
            PumpUntil([&] { return advertiser->CurrentState() == State::Registered; }, 2s);
        else
            PumpFor(std::chrono::milliseconds(round * 10));
        EXPECT_EQ(commu.failed, 0) << round;
    }
    daemon.join();
    commu.SetServer(std::make_unique<TCPServer>(&commu, "Pallorwind Loop End", "0",
                                                MakeDnsSdAdvertiserFactory(nullptr, quick)));
    EXPECT_EQ(FindService("Pallorwind Loop End", kServiceType, 10s).port,
              TCPServer::ParsePort(commu.ports.back()));
    EXPECT_EQ(commu.failed, 0);
    EXPECT_GT(round, 0);
}

} // namespace

// A system bus that takes connections and never answers: the registration
// call inside the DNS-SD library waits for it, on the registration's own
// thread. The menu and the sockets go on, and the bridge is withdrawn at once.
TEST(DnsSdStuckBus, NeverHoldsTheEventLoopNorTheWithdrawal) {
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/stuck-bus";
    const int bus = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(bus, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(bus, 8), 0); // connections wait in the backlog, unanswered
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);

    pallorwind::test::LoopGapMeter meter;
    meter.Start();
    auto advertiser = std::make_unique<DnsSdAdvertiser>(nullptr);
    DiscoveryCommu commu;
    const auto asked = Clock::now();
    ASSERT_TRUE(advertiser->Register("Pallorwind Stuck", "4000", &commu));
    EXPECT_LT(Seconds(Clock::now() - asked), 0.05);
    PumpFor(1500ms);
    meter.Stop();
    std::printf("figure: longest event-loop gap %.1f ms while the bus is stuck\n", meter.MaxMs());
    EXPECT_LT(meter.MaxMs(), 200.0);
    EXPECT_EQ(advertiser->CurrentState(), State::Pending);

    const auto withdrawn = Clock::now();
    advertiser.reset();
    EXPECT_LT(Seconds(Clock::now() - withdrawn), 0.05);
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ::close(bus);
}
