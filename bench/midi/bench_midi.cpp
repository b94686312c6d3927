// MIDI through the whole bridge on a private JACK server (dummy backend), each
// figure beside its goal and a reference measured in the same run:
//   - what a JACK port buffer holds per cycle (a reference client fills its
//     port until JACK refuses);
//   - side by side with a plain one-client RtMidi bridge
//     (bench/midi/PlainRtMidiBridge.h), both as processes of their own, at
//     3, 30, 100, 500 and 2,000 records per JACK period and at 10 per second:
//     xruns, delivered and lost, latency, CPU time per 1,000 delivered and
//     thread wake-ups (bench/midi/SideBySide.h);
//   - the bridge's unpaced flood throughput against the port buffer, with
//     nothing lost;
//   - latency JACK input -> app and JACK input -> the layer's callback;
//   - the idle CPU and private memory of pallorwind-win with both devices open,
//     and what it prints when it starts without a JACK server.
//   build/bench/midi/bench_midi [--quick] [--side-by-side] [--rounds N]
//                               [--rates 3,30,100,500,2000] [--seconds S] [--threads]
//                               [--bridge PATH]
//     --quick: shorter runs, fewer notes, 5 s idle; --side-by-side: only the
//     comparison; --rounds: of the comparison (4); --rates: its rows, records
//     per period; --seconds: of each of its loaded runs (2); --threads: a
//     line per thread of each bridge and run; --bridge: the pallorwind-win
//     binary it compares (another build's, say).
#include "bench/midi/SideBySide.h"
#include "bench/support/LatencyStats.h"
#include "platform/midi/MidiDevices.h"
#include "tests/app/BridgeTestSupport.h"
#include "tests/app/JackPeer.h"
#include "tests/support/HeadlessShell.h"
#include "tests/support/MemorySettingsStore.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace pallorwind;
using namespace std::chrono_literals;
using pallorwind::testing::AppClient;
using pallorwind::testing::Clock;
using pallorwind::testing::SpinUntil;

using pallorwind::bench::Ms;
using pallorwind::bench::Stats;
using pallorwind::bench::Summarize;

namespace {

using pallorwind::bench::ReadFile;

std::array<std::uint8_t, 3> FloodRecord(std::uint32_t k) {
    return {std::uint8_t(0x80 | (k >> 14 & 0x0F)), std::uint8_t(k & 0x7F),
            std::uint8_t(k >> 7 & 0x7F)};
}

// One name for every run: JACK's shared-memory registry has room for only a
// few server names, and each new one stays listed after its server.
class JackServer {
public:
    JackServer() : m_name("pwbench") {
        setenv("JACK_DEFAULT_SERVER", m_name.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        m_ok = Run("start", "") == 0; // the script keeps the log, and removes it at stop
    }
    ~JackServer() { Run("stop", ""); }
    bool Ok() const { return m_ok; }
    const std::string& Name() const { return m_name; }

private:
    int Run(const char* what, const std::string& extra) {
        const std::string command = std::string(PALLORWIND_SOURCE_DIR) +
                                    "/tools/jack-test-server.sh " + what + " " + m_name + extra;
        return std::system(command.c_str());
    }
    std::string m_name;
    bool m_ok = false;
};

// A client of the benchmark's own: counts cycles, and on request fills its MIDI port with
// three-byte events until JACK refuses one, which measures what a port buffer holds.
class Watcher {
public:
    Watcher() {
        m_client = jack_client_open("pwbench-watch", JackNoStartServer, nullptr);
        if (!m_client)
            return;
        m_port = jack_port_register(m_client, "fill", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(m_client, &Watcher::Process, this);
        m_frames = jack_get_buffer_size(m_client);
        m_rate = jack_get_sample_rate(m_client);
        jack_activate(m_client);
    }
    ~Watcher() {
        if (m_client)
            jack_client_close(m_client);
    }
    bool Ok() const { return m_client && m_port; }
    double PeriodMs() const { return 1000.0 * m_frames / m_rate; }
    std::uint32_t Frames() const { return m_frames; }
    std::uint32_t Rate() const { return m_rate; }
    std::uint32_t Cycles() const { return m_cycles.load(); }
    void Connect(const std::string& from, const std::string& to) {
        jack_connect(m_client, from.c_str(), to.c_str());
        WaitCycles(2);
    }
    void Disconnect(const std::string& from, const std::string& to) {
        jack_disconnect(m_client, from.c_str(), to.c_str());
        WaitCycles(2);
    }
    void WaitCycles(std::uint32_t n) const {
        const std::uint32_t until = Cycles() + n;
        while (std::int32_t(Cycles() - until) < 0)
            std::this_thread::sleep_for(1ms);
    }
    // The most three-byte events one cycle's port buffer took, over `cycles`.
    unsigned PortCapacity(std::uint32_t cycles) {
        m_fill.store(true);
        WaitCycles(cycles);
        m_fill.store(false);
        WaitCycles(1);
        return m_capacity.load();
    }

private:
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Watcher*>(arg);
        void* buffer = jack_port_get_buffer(self->m_port, frames);
        jack_midi_clear_buffer(buffer);
        if (self->m_fill.load()) {
            unsigned n = 0;
            while (jack_midi_data_t* data = jack_midi_event_reserve(buffer, 0, 3)) {
                data[0] = 0x90;
                data[1] = data[2] = 0x40;
                ++n;
            }
            self->m_capacity.store(std::max(self->m_capacity.load(), n));
            jack_midi_clear_buffer(buffer); // nobody listens; sent nothing
        }
        self->m_cycles.fetch_add(1);
        return 0;
    }

    jack_client_t* m_client = nullptr;
    jack_port_t* m_port = nullptr;
    std::uint32_t m_frames = 0, m_rate = 1;
    std::atomic<std::uint32_t> m_cycles{0};
    std::atomic<bool> m_fill{false};
    std::atomic<unsigned> m_capacity{0};
};

struct FloodResult {
    std::size_t sent = 0;
    double seconds = 0;
};

// One app writes numbered records to `port` as fast as TCP takes them for
// `duration`, from a thread of its own, while the event loop runs.
FloodResult Flood(std::uint16_t port, std::chrono::milliseconds duration) {
    AppClient app(port);
    std::atomic<bool> flooding{true};
    std::atomic<std::uint32_t> sent{0};
    const auto start = Clock::now();
    std::thread flood([&] {
        std::vector<std::uint8_t> chunk;
        std::uint32_t k = 0;
        while (Clock::now() - start < duration) {
            chunk.clear();
            for (int i = 0; i < 2000; ++i) {
                const auto r = FloodRecord(k++);
                chunk.insert(chunk.end(), r.begin(), r.end());
            }
            if (!app.Send(chunk))
                break;
            sent = k;
        }
        flooding = false;
    });
    SpinUntil([&] { return !flooding; }, 120s);
    flood.join();
    return {sent.load(), std::chrono::duration<double>(Clock::now() - start).count()};
}

// Waits until the peer's count stops growing (or reaches `total`).
std::size_t SettleCount(pallorwind::testing::JackPeer& peer, std::size_t total) {
    std::size_t seen = peer.Count();
    auto lastGrowth = Clock::now();
    SpinUntil(
        [&] {
            const std::size_t now = peer.Count();
            if (now != seen) {
                seen = now;
                lastGrowth = Clock::now();
            }
            return now >= total || Clock::now() - lastGrowth > 2s;
        },
        120s);
    return peer.Count();
}

// CPU time of all threads of process `pid` (schedstat, in nanoseconds).
double CpuSeconds(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream stat(task.path() / "schedstat");
        double ns = 0;
        if (stat >> ns)
            total += ns / 1e9;
    }
    return total;
}

// Private memory of `pid` in kB (RssAnon).
long PrivateKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("RssAnon:"))
            return std::stol(line.substr(8));
    return -1;
}

// Starts pallorwind-win with its settings in `configHome` and its standard
// error going to `errPath`; `jackServer` is the JACK server it looks for.
pid_t StartBridgeProgram(const std::string& configHome, const std::string& errPath,
                         const std::string& jackServer) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        if (!entry.starts_with("XDG_CONFIG_HOME=") && !entry.starts_with("JACK_DEFAULT_SERVER=") &&
            !entry.starts_with("PALLORWIND_MIDI_API=") &&
            !entry.starts_with("JACK_NO_START_SERVER="))
            env.emplace_back(entry);
    }
    env.push_back("XDG_CONFIG_HOME=" + configHome);
    env.push_back("JACK_DEFAULT_SERVER=" + jackServer);
    env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(PALLORWIND_WIN_BINARY), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, PALLORWIND_WIN_BINARY, &actions, nullptr, argv, envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void StopBridgeProgram(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

const char* Verdict(bool met) {
    return met ? "met" : "NOT met";
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each line as it is measured
    bool quick = false, sideBySideOnly = false;
    std::chrono::milliseconds runTime{0};
    std::string bridgeBinary = PALLORWIND_WIN_BINARY;
    bench::SideBySideOptions side;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick")
            quick = true;
        else if (arg == "--side-by-side")
            sideBySideOnly = true;
        else if (arg == "--threads")
            side.threads = true;
        else if (arg == "--rounds" && i + 1 < argc)
            side.rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--bridge" && i + 1 < argc)
            bridgeBinary = argv[++i];
        else if (arg == "--seconds" && i + 1 < argc)
            runTime = std::chrono::milliseconds(std::max(1, std::atoi(argv[++i])) * 1000);
        else if (arg == "--rates" && i + 1 < argc) {
            side.perPeriod.clear();
            std::istringstream list(argv[++i]);
            for (std::string rate; std::getline(list, rate, ',');)
                side.perPeriod.push_back(std::max(1, std::atoi(rate.c_str())));
        } else {
            std::fprintf(stderr,
                         "usage: %s [--quick] [--side-by-side] [--rounds N] [--rates 3,30,...] "
                         "[--seconds S] [--threads] [--bridge PATH]\n",
                         argv[0]);
            return 2;
        }
    }
    const auto floodTime = quick ? 1000ms : 2000ms;
    const int notes = quick ? 100 : 400;
    const auto idleTime = quick ? 5s : 10s;
    JackServer server;
    if (!server.Ok()) {
        std::fprintf(stderr, "bench: could not start a JACK server\n");
        return 1;
    }
    QCoreApplication qapp(argc, argv);
    // Filling a port until JACK refuses makes libjack complain on every
    // cycle; counted, not printed. (The bridge's own layer routes libjack's
    // words to its log sink once it exists.)
    static std::atomic<int> jackComplaints{0};
    jack_set_error_function([](const char*) { ++jackComplaints; });
    Watcher watcher;
    if (!watcher.Ok()) {
        std::fprintf(stderr, "bench: no JACK watcher client\n");
        return 1;
    }
    const double periodMs = watcher.PeriodMs();
    std::printf("JACK period: %u frames at %u Hz = %.2f ms\n", watcher.Frames(), watcher.Rate(),
                periodMs);
    const unsigned capacity = watcher.PortCapacity(20);
    const double capacityPerSecond = capacity * 1000.0 / periodMs;
    std::printf("a port buffer holds %u three-byte events per cycle = %.0f events/s\n", capacity,
                capacityPerSecond);

    // (a) Side by side with the plain bridge.
    side.jackServer = server.Name();
    side.bridgeBinary = bridgeBinary;
    side.plainBinary = PALLORWIND_PLAIN_BRIDGE_BINARY;
    side.flood = runTime.count() ? runTime : std::chrono::milliseconds(floodTime);
    side.slow = quick ? 5000ms : 10000ms;
    if (!bench::RunSideBySide(side))
        return 1;
    if (sideBySideOnly)
        return 0;

    auto peer = std::make_unique<pallorwind::testing::JackPeer>("pwbench-synth");
    std::mutex complaintsLock;
    std::vector<std::string> complaints;
    const auto system = midi::CreateMidiSystem({"pwbench-bridge",
                                                [&](const std::string& line) {
                                                    std::lock_guard guard(complaintsLock);
                                                    complaints.push_back(line);
                                                }},
                                               midi::MidiApi::Jack);
    win::MemorySettingsStore settings;
    settings.values = {{win::kSettingOutMidiPort, "pwbench-synth:in"},
                       {win::kSettingInMidiPort, "pwbench-synth-src:out"}};
    pallorwind::testing::RecordingUi ui;
    test::HeadlessShell shell(ui);
    win::CPallorwindOSXDlg bridge(settings, *system, ui, shell.Parts(),
                                  test::HeadlessOptions("bench"));
    bridge.Start();
    SpinUntil([&] { return !bridge.Ports().Busy(); });
    if (!bridge.Ports().InputOpen() || !bridge.Ports().OutputOpen()) {
        std::fprintf(stderr, "bench: the bridge did not open its devices\n");
        return 1;
    }
    const std::uint16_t bridgePort = std::uint16_t(std::stoi(bridge.Port()));

    // (b) An unpaced flood through the bridge: throughput against what the
    // port buffer holds, nothing lost.
    {
        const std::size_t before = peer->Count();
        const auto floodStart = Clock::now();
        const FloodResult flood = Flood(bridgePort, floodTime);
        SettleCount(*peer, before + flood.sent);
        const auto received = peer->Received();
        const auto times = peer->ArrivalTimes();
        std::size_t inOrder = 0;
        for (std::size_t i = before; i < received.size(); ++i) {
            const auto want = FloodRecord(std::uint32_t(inOrder));
            if (received[i] != pallorwind::testing::JackPeer::Message(want.begin(), want.end()))
                break;
            ++inOrder;
        }
        const std::size_t delivered = received.size() - before;
        // Throughput while the flood ran: records per second until the last
        // one arrived.
        const double seconds = std::chrono::duration<double>(times.back() - floodStart).count();
        const double rate = double(delivered) / seconds;
        std::printf("\nunpaced flood, app -> JACK: %zu records sent, %zu delivered in order, %zu "
                    "lost; %.0f records/s = %.0f per JACK period\n",
                    flood.sent, inOrder, flood.sent - std::min(flood.sent, delivered), rate,
                    rate * periodMs / 1000.0);
        std::printf("  throughput: %.0f %% of what the port buffer holds (goal >= 90 %%: %s)\n",
                    100.0 * rate / capacityPerSecond, Verdict(rate >= 0.9 * capacityPerSecond));
        std::printf("  lost: %zu (goal 0: %s); the layer's complaints (JACK lost events and the "
                    "like): %zu\n",
                    flood.sent - std::min(flood.sent, inOrder), Verdict(inOrder == flood.sent),
                    [&] {
                        std::lock_guard guard(complaintsLock);
                        return complaints.size() - 1;
                    }());
    }

    AppClient app(bridgePort);
    SpinUntil([&] { return bridge.Clients() == 1; });

    // (c) Latency JACK input -> app: one note every 7 ms.
    {
        std::vector<double> latency;
        // The bridge needs no event loop on this path (MIDI thread, then the
        // session's send thread), so the app simply waits on its socket.
        appsim::AppConnection& connection = app.Connection();
        const std::size_t got = connection.Messages().size();
        for (int i = 0; i < notes; ++i) {
            const auto t0 = Clock::now();
            peer->Play({0x92, std::uint8_t(i & 0x7F), 0x40});
            connection.ReceiveMessages(got + std::size_t(i) + 1, 10s);
            latency.push_back(Ms(connection.Messages().back().arrival - t0));
            const auto next = t0 + 7ms;
            SpinUntil([&] { return Clock::now() >= next; }, 1s);
        }
        const Stats s = Summarize(latency);
        std::printf("latency JACK input -> app (%zu notes): median %.2f ms, p99 %.2f ms, max "
                    "%.2f ms\n",
                    latency.size(), s.median, s.p99, s.max);
        std::printf("  goals: median <= one period + 1 ms = %.2f ms: %s; p99 <= two periods + "
                    "2 ms = %.2f ms: %s\n",
                    periodMs + 1.0, Verdict(s.median <= periodMs + 1.0), 2 * periodMs + 2.0,
                    Verdict(s.p99 <= 2 * periodMs + 2.0));
    }
    bridge.Exit();

    // (d) Latency JACK input -> the layer's input callback (a second system
    // listening to the same keyboard): the delivery thread's share.
    {
        std::mutex lock;
        std::vector<Clock::time_point> arrivals;
        const auto listener =
            midi::CreateMidiSystem({"pwbench-listen", nullptr}, midi::MidiApi::Jack);
        std::unique_ptr<midi::MidiInDevice> in;
        for (const midi::MidiPort& port : listener->Inputs())
            if (port.query == midi::MidiResult::Ok && port.name == "pwbench-synth-src:out")
                in = listener
                         ->OpenIn(port.index,
                                  [&](std::uint32_t) {
                                      std::lock_guard guard(lock);
                                      arrivals.push_back(Clock::now());
                                  })
                         .device;
        // The reference: JACK alone, from the keyboard's port straight to the
        // synthesizer's (both the benchmark's own client).
        std::vector<double> jackOnly;
        watcher.Connect("pwbench-synth-src:out", "pwbench-synth:in");
        for (int i = 0; i < notes; ++i) {
            const std::size_t before = peer->Count();
            const auto t0 = Clock::now();
            peer->Play({0x94, std::uint8_t(i & 0x7F), 0x40});
            if (!peer->WaitFor(before + 1, 1s))
                break;
            jackOnly.push_back(Ms(peer->LastArrival() - t0));
            std::this_thread::sleep_until(t0 + 7ms);
        }
        watcher.Disconnect("pwbench-synth-src:out", "pwbench-synth:in");
        const Stats reference = Summarize(jackOnly);
        std::printf("latency JACK alone, one client's output -> another's input (%zu notes): "
                    "median %.2f ms, p99 %.2f ms\n",
                    jackOnly.size(), reference.median, reference.p99);
        if (in && in->Start() == midi::MidiResult::Ok) {
            std::vector<double> latency;
            for (int i = 0; i < notes; ++i) {
                const auto t0 = Clock::now();
                peer->Play({0x93, std::uint8_t(i & 0x7F), 0x40});
                const auto deadline = t0 + 1s;
                for (;;) {
                    {
                        std::lock_guard guard(lock);
                        if (arrivals.size() > std::size_t(i)) {
                            latency.push_back(Ms(arrivals.back() - t0));
                            break;
                        }
                    }
                    if (Clock::now() > deadline)
                        break;
                    std::this_thread::sleep_for(50us);
                }
                std::this_thread::sleep_until(t0 + 7ms);
            }
            in.reset();
            const Stats s = Summarize(latency);
            std::printf("latency JACK input -> input callback (%zu notes): median %.2f ms, p99 "
                        "%.2f ms (goal about one period, <= %.2f ms: %s)\n",
                        latency.size(), s.median, s.p99, periodMs + 1.0,
                        Verdict(s.p99 <= periodMs + 1.0));
        }
    }

    // (e) The program itself: idle with both devices open, and a start
    // without a JACK server.
    {
        char folder[] = "/tmp/pwbench-config-XXXXXX";
        const std::string config = mkdtemp(folder);
        const std::string settingsDir = config + "/Pallorwind";
        std::system(("mkdir -p " + settingsDir).c_str());
        std::ofstream(settingsDir + "/PallorwindWIN.conf")
            << "[General]\nOutMidiPort=pwbench-synth:in\nInMidiPort=pwbench-synth-src:out\n";
        const std::string errPath = config + "/stderr.txt";

        const pid_t pid = StartBridgeProgram(config, errPath, server.Name());
        const bool opened =
            pid > 0 && SpinUntil(
                           [&] {
                               return ReadFile(errPath).find("output \"pwbench-synth:in\"") !=
                                      std::string::npos;
                           },
                           20s);
        if (!opened) {
            std::printf("pallorwind-win did not open its devices:\n%s", ReadFile(errPath).c_str());
        } else {
            const double t0 = CpuSeconds(pid);
            const auto start = Clock::now();
            std::this_thread::sleep_for(idleTime);
            const double t1 = CpuSeconds(pid);
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            const double percent = 100.0 * (t1 - t0) / seconds;
            std::printf("pallorwind-win idle with input and output open: %.2f %% of a core over "
                        "%.0f s (goal <= 1 %%: %s); private memory %ld kB\n",
                        percent, seconds, Verdict(percent <= 1.0), PrivateKb(pid));
        }
        if (pid > 0)
            StopBridgeProgram(pid);

        const pid_t lonely = StartBridgeProgram(config, errPath, "pwbench-no-server");
        if (lonely > 0) {
            SpinUntil([&] { return ReadFile(errPath).find("MIDI input") != std::string::npos; },
                      20s);
            std::this_thread::sleep_for(1s); // libjack would go on talking
            StopBridgeProgram(lonely);
            const std::string said = ReadFile(errPath);
            int lines = 0, midiLines = 0;
            std::istringstream text(said);
            for (std::string line; std::getline(text, line); ++lines)
                midiLines += line.find("MIDI system") != std::string::npos;
            std::printf("a start without a JACK server: %d lines on standard error, %d of them "
                        "about the MIDI system (goal 1: %s):\n%s",
                        lines, midiLines, Verdict(midiLines == 1), said.c_str());
        }
        std::system(("rm -rf " + config).c_str());
    }
    peer.reset();
    return 0;
}
