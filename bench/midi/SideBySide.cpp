#include "bench/midi/SideBySide.h"

#include "bench/support/LatencyStats.h"

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/statistics.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace pallorwind::bench {

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A record is known by its number: a note-off whose status and data bytes
// count it (18 bits; a run that loses fewer than 262,144 in a row is followed).
constexpr std::uint32_t kNumberMask = 0x3FFFF;
std::array<std::uint8_t, 3> Record(std::uint64_t k) {
    return {std::uint8_t(0x80 | (k >> 14 & 0x0F)), std::uint8_t(k & 0x7F),
            std::uint8_t(k >> 7 & 0x7F)};
}

// The synthesizer: a JACK client whose input notes each record's number and
// the cycle it came in, into room reserved beforehand (its process callback
// neither locks nor allocates, so it costs both bridges the same little).
// It also counts the server's xruns, and a second client stands in for the
// keyboard that pallorwind-win's input is connected to.
class Sink {
public:
    struct Xrun {
        Clock::time_point at;
        double delayedMs; // as JACK reports it
    };
    struct Cycle {
        Clock::time_point at;
        std::size_t end; // records received up to and with this cycle
    };

    Sink() : m_numbers(std::size_t(1) << 23), m_cycles(std::size_t(1) << 17) {
        m_client = jack_client_open("pwbench-sink", JackNoStartServer, nullptr);
        m_keys = jack_client_open("pwbench-keys", JackNoStartServer, nullptr);
        if (!m_client || !m_keys)
            return;
        m_in = jack_port_register(m_client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        m_out = jack_port_register(m_keys, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(m_client, &Sink::Process, this);
        jack_set_xrun_callback(m_client, &Sink::OnXrun, this);
        jack_set_process_callback(m_keys, &Sink::Silence, this);
        m_frames = jack_get_buffer_size(m_client);
        m_rate = jack_get_sample_rate(m_client);
        m_ok = m_in && m_out && jack_activate(m_client) == 0 && jack_activate(m_keys) == 0;
    }
    ~Sink() {
        for (jack_client_t* c : {m_client, m_keys})
            if (c)
                jack_client_close(c);
    }
    bool Ok() const { return m_ok; }
    double PeriodMs() const { return 1000.0 * m_frames / m_rate; }
    double PeriodsPerSecond() const { return double(m_rate) / m_frames; }

    // Counts anew from here; only while nothing flows.
    void Arm() {
        m_armed.store(false);
        WaitCycles(2);
        m_count.store(0);
        m_cycleCount.store(0);
        m_other.store(0);
        m_longestGapNs.store(0);
        m_armed.store(true);
    }
    void Disarm() {
        m_armed.store(false);
        WaitCycles(2);
    }
    std::size_t Count() const { return m_count.load(std::memory_order_acquire); }
    // After Disarm.
    std::vector<std::uint32_t> Numbers() const {
        return {m_numbers.begin(), m_numbers.begin() + long(Count())};
    }
    std::vector<Cycle> Cycles() const {
        return {m_cycles.begin(), m_cycles.begin() + long(m_cycleCount.load())};
    }
    std::size_t Other() const { return m_other.load(); }
    // The longest time between two cycles since Arm.
    double LongestGapMs() const { return m_longestGapNs.load() / 1e6; }
    std::vector<Xrun> XrunsBetween(Clock::time_point from, Clock::time_point to) {
        std::lock_guard guard(m_lock);
        std::vector<Xrun> found;
        for (const Xrun& x : m_xruns)
            if (x.at >= from && x.at <= to)
                found.push_back(x);
        return found;
    }
    // When the latest cycle reached this client.
    Clock::time_point LastCycle() const {
        return Clock::time_point(Clock::duration(m_cycleAt.load(std::memory_order_acquire)));
    }
    void WaitCycles(std::uint32_t n) const {
        const std::uint32_t until = m_cycleNumber.load() + n;
        while (std::int32_t(m_cycleNumber.load() - until) < 0)
            std::this_thread::sleep_for(1ms);
    }

private:
    static int Process(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Sink*>(arg);
        const auto now = Clock::now();
        const std::int64_t gap = (now - self->m_lastCycle).count();
        self->m_lastCycle = now;
        self->m_cycleAt.store(now.time_since_epoch().count(), std::memory_order_release);
        self->m_cycleNumber.fetch_add(1);
        if (!self->m_armed.load(std::memory_order_acquire))
            return 0;
        if (gap > self->m_longestGapNs.load(std::memory_order_relaxed) &&
            self->m_cycleCount.load(std::memory_order_relaxed) > 0)
            self->m_longestGapNs.store(gap, std::memory_order_relaxed);
        void* buffer = jack_port_get_buffer(self->m_in, frames);
        const std::uint32_t events = jack_midi_get_event_count(buffer);
        std::size_t at = self->m_count.load(std::memory_order_relaxed);
        std::size_t other = 0;
        for (std::uint32_t i = 0; i < events; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, buffer, i) != 0)
                continue;
            if (event.size != 3 || (event.buffer[0] & 0xF0) != 0x80 ||
                at == self->m_numbers.size()) {
                ++other;
                continue;
            }
            self->m_numbers[at++] = std::uint32_t(event.buffer[0] & 0x0F) << 14 |
                                    std::uint32_t(event.buffer[2]) << 7 | event.buffer[1];
        }
        const std::size_t cycle = self->m_cycleCount.load(std::memory_order_relaxed);
        if (cycle < self->m_cycles.size()) {
            self->m_cycles[cycle] = {now, at};
            self->m_cycleCount.store(cycle + 1, std::memory_order_release);
        }
        if (other)
            self->m_other.fetch_add(other);
        self->m_count.store(at, std::memory_order_release);
        return 0;
    }
    static int Silence(jack_nframes_t frames, void* arg) {
        auto* self = static_cast<Sink*>(arg);
        jack_midi_clear_buffer(jack_port_get_buffer(self->m_out, frames));
        return 0;
    }
    static int OnXrun(void* arg) {
        auto* self = static_cast<Sink*>(arg);
        const double delayed = jack_get_xrun_delayed_usecs(self->m_client) / 1000.0;
        std::lock_guard guard(self->m_lock);
        self->m_xruns.push_back({Clock::now(), delayed});
        return 0;
    }

    jack_client_t* m_client = nullptr;
    jack_client_t* m_keys = nullptr;
    jack_port_t* m_in = nullptr;
    jack_port_t* m_out = nullptr;
    jack_nframes_t m_frames = 128, m_rate = 48000;
    bool m_ok = false;
    std::vector<std::uint32_t> m_numbers;
    std::vector<Cycle> m_cycles;
    std::atomic<bool> m_armed{false};
    std::atomic<std::size_t> m_count{0};
    std::atomic<std::size_t> m_cycleCount{0};
    std::atomic<std::size_t> m_other{0};
    std::atomic<std::uint32_t> m_cycleNumber{0};
    std::atomic<std::int64_t> m_longestGapNs{0};
    Clock::time_point m_lastCycle = Clock::now(); // the process thread's
    std::atomic<Clock::rep> m_cycleAt{0};
    std::mutex m_lock;
    std::vector<Xrun> m_xruns;
};

// One thread of a process, as /proc tells it.
struct TaskStat {
    std::string name;
    double cpuNs = 0;   // time on a CPU (schedstat)
    long wakeups = 0;   // voluntary context switches: each is a sleep, then a wake-up
    long preempted = 0; // involuntary ones
};
using Tasks = std::map<int, TaskStat>;

Tasks ReadTasks(pid_t pid) {
    Tasks tasks;
    std::error_code error;
    const std::string folder = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        TaskStat stat;
        std::ifstream(entry.path() / "schedstat") >> stat.cpuNs;
        std::getline(std::ifstream(entry.path() / "comm"), stat.name);
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with("voluntary_ctxt_switches:"))
                stat.wakeups = std::stol(line.substr(24));
            else if (line.starts_with("nonvoluntary_ctxt_switches:"))
                stat.preempted = std::stol(line.substr(27));
        }
        tasks[std::stoi(entry.path().filename())] = stat;
    }
    return tasks;
}

template <typename Pred> bool WaitFor(Pred done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A bridge running as a process of its own, on the benchmark's JACK server.
class BridgeProcess {
public:
    // pallorwind-win, headless, its settings in a folder of its own: output
    // to the sink, input from the keys client, any free TCP port.
    static std::unique_ptr<BridgeProcess> Ours(const SideBySideOptions& o) {
        auto p = std::unique_ptr<BridgeProcess>(new BridgeProcess("pallorwind-win"));
        char folder[] = "/tmp/pwbench-side-XXXXXX";
        if (!mkdtemp(folder))
            return nullptr;
        p->m_folder = folder;
        std::filesystem::create_directories(p->m_folder + "/Pallorwind");
        std::ofstream(p->m_folder + "/Pallorwind/PallorwindWIN.conf")
            << "[General]\nOutMidiPort=pwbench-sink:in\nInMidiPort=None\nPort=0\nName=pwbench-"
            << getpid() << "\n"; // a name of its own where a DNS-SD daemon runs
        const std::string err = p->m_folder + "/stderr.txt";
        if (!p->Spawn(o, {o.bridgeBinary, "--headless"}, {"XDG_CONFIG_HOME=" + p->m_folder},
                      "/dev/null", err))
            return nullptr;
        const std::string said = "listening on TCP port ";
        const bool ready = WaitFor(
            [&] {
                const std::string text = ReadFile(err);
                const auto at = text.find(said);
                if (at == std::string::npos ||
                    text.find("output \"pwbench-sink:in\"") == std::string::npos)
                    return false;
                p->m_port = std::uint16_t(std::stoi(text.substr(at + said.size())));
                return true;
            },
            20s);
        if (!ready) {
            std::fprintf(stderr, "bench: pallorwind-win did not open its devices:\n%s",
                         ReadFile(err).c_str());
            return nullptr;
        }
        return p;
    }

    // The plain bridge: its own RtMidi client playing to the sink.
    static std::unique_ptr<BridgeProcess> Plain(const SideBySideOptions& o) {
        auto p = std::unique_ptr<BridgeProcess>(new BridgeProcess("plain bridge"));
        char folder[] = "/tmp/pwbench-side-XXXXXX";
        if (!mkdtemp(folder))
            return nullptr;
        p->m_folder = folder;
        const std::string out = p->m_folder + "/stdout.txt";
        // RtMidi says on standard error what its JACK ring could not take.
        if (!p->Spawn(o, {o.plainBinary, "pwbench-plain", "pwbench-sink:in"}, {}, out,
                      p->m_folder + "/stderr.txt"))
            return nullptr;
        const bool ready = WaitFor(
            [&] {
                const std::string text = ReadFile(out);
                if (text.find('\n') == std::string::npos)
                    return false;
                p->m_port = std::uint16_t(std::stoi(text));
                return true;
            },
            20s);
        if (!ready) {
            std::fprintf(stderr, "bench: the plain bridge did not start:\n%s",
                         ReadFile(p->m_folder + "/stderr.txt").c_str());
            return nullptr;
        }
        return p;
    }

    ~BridgeProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder);
    }

    const std::string& Name() const { return m_name; }
    // What it said on standard error.
    std::string Said() const { return ReadFile(m_folder + "/stderr.txt"); }
    pid_t Pid() const { return m_pid; }
    std::uint16_t Port() const { return m_port; }

private:
    explicit BridgeProcess(std::string name) : m_name(std::move(name)) {}

    bool Spawn(const SideBySideOptions& o, std::vector<std::string> args,
               std::vector<std::string> extraEnv, const std::string& out, const std::string& err) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string_view entry(*e);
            for (const char* drop : {"XDG_CONFIG_HOME=", "JACK_DEFAULT_SERVER=",
                                     "PALLORWIND_MIDI_API=", "JACK_NO_START_SERVER=", "DISPLAY=",
                                     "WAYLAND_DISPLAY=", "DBUS_SESSION_BUS_ADDRESS="})
                if (entry.starts_with(drop))
                    goto skip;
            env.emplace_back(entry);
        skip:;
        }
        env.push_back("JACK_DEFAULT_SERVER=" + o.jackServer);
        env.push_back("JACK_NO_START_SERVER=1");
        env.push_back("PALLORWIND_MIDI_API=jack");
        env.push_back("QT_QPA_PLATFORM=offscreen");
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> envp, argv;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        const bool ok =
            posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
        if (!ok)
            m_pid = -1;
        return ok;
    }

    std::string m_name;
    std::string m_folder;
    pid_t m_pid = -1;
    std::uint16_t m_port = 0;
};

// The app: connects like the phone does (TCP_NODELAY) and writes the records
// that are due, at most once a millisecond, so that each write carries what
// came due since the last one (at low rates, one record a write).
class App {
public:
    explicit App(std::uint16_t port) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        const int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_ok = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~App() { close(m_fd); }
    bool Ok() const { return m_ok; }

    struct Offered {
        std::uint64_t sent = 0;
        Clock::time_point start, end;
        // Each write: the number of its first record, and when it began.
        std::vector<std::pair<std::uint64_t, Clock::time_point>> writes;
    };
    Offered Offer(double perSecond, std::chrono::milliseconds duration) {
        Offered o;
        o.writes.reserve(std::size_t(duration.count()) + 16);
        std::vector<std::uint8_t> bytes;
        o.start = Clock::now();
        const auto end = o.start + duration;
        auto wake = o.start;
        for (;;) {
            const auto now = Clock::now();
            if (now >= end)
                break;
            const auto due =
                std::uint64_t(perSecond * std::chrono::duration<double>(now - o.start).count()) + 1;
            if (due > o.sent) {
                bytes.clear();
                for (std::uint64_t k = o.sent; k < due; ++k) {
                    const auto r = Record(k);
                    bytes.insert(bytes.end(), r.begin(), r.end());
                }
                o.writes.emplace_back(o.sent, now);
                if (!WriteAll(bytes))
                    break;
                o.sent = due;
            }
            // The next record's time, but not sooner than a millisecond on.
            const auto next =
                o.start + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(double(o.sent) / perSecond));
            wake = std::max(next, wake + 1ms);
            SleepUntil(std::min(wake, end));
        }
        o.end = Clock::now();
        return o;
    }

    // One record every `interval`, `count` of them, each at a chosen point
    // of a JACK period: spread evenly over the period, in the same order for
    // every bridge, so that where a record falls in the period (up to a
    // period's wait on its own) is alike for all and its median is steady.
    Offered OfferAtPhases(const Sink& sink, std::size_t count, Clock::duration interval) {
        constexpr int kPhases = 20;
        const auto period = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(sink.PeriodMs()));
        Offered o;
        o.start = Clock::now();
        for (std::size_t k = 0; k < count; ++k) {
            const Clock::time_point target = o.start + std::int64_t(k) * interval;
            const auto last = sink.LastCycle();
            const auto cycles =
                (std::max(target, last) - last + period - Clock::duration(1)) / period;
            const auto phase = period * (2 * std::int64_t(k * 7 % kPhases) + 1) / (2 * kPhases);
            SleepUntil(last + cycles * period + phase);
            const auto r = Record(k);
            o.writes.emplace_back(k, Clock::now());
            if (!WriteAll({r.begin(), r.end()}))
                break;
            o.sent = k + 1;
        }
        o.end = Clock::now();
        return o;
    }

private:
    bool WriteAll(const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return true;
    }
    static void SleepUntil(Clock::time_point t) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
        timespec ts{time_t(ns.count() / 1'000'000'000), long(ns.count() % 1'000'000'000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }

    int m_fd = -1;
    bool m_ok = false;
};

struct ThreadFigure {
    std::string name;
    double cpuMsPer1000 = 0;
    double wakeupsPerPeriod = 0;
    double preemptedPerPeriod = 0;
};

struct Run {
    bool ok = false;
    double offeredPerSecond = 0;
    std::uint64_t sent = 0;
    std::size_t delivered = 0;
    std::size_t other = 0; // messages at the sink that were not the app's records
    double seconds = 0;    // from the first record to the last arrival (or the last write)
    int xruns = 0;
    double longestXrunMs = 0;
    double longestGapMs = 0;
    double median = 0, p99 = 0; // latency, ms
    double cpuMs = 0;           // the bridge process, over the run
    double wakeupsPerPeriod = 0;
    std::vector<ThreadFigure> threads;

    double XrunsPerSecond() const { return seconds > 0 ? xruns / seconds : 0; }
    double DeliveredPerSecond() const { return seconds > 0 ? delivered / seconds : 0; }
    double Lost() const { return double(sent) - double(std::min<std::uint64_t>(sent, delivered)); }
    double CpuPer1000() const { return delivered ? cpuMs * 1000.0 / double(delivered) : 0; }
};

// One run: an app connects to `bridge`, offers `perSecond` records for
// `duration`, and goes once everything has arrived (or nothing more does).
Run Measure(BridgeProcess& bridge, Sink& sink, double perSecond, std::chrono::milliseconds duration,
            bool phased) {
    Run run;
    run.offeredPerSecond = perSecond;
    // What an earlier run left in the bridge (a reference bridge that fell
    // behind plays it long after its app has gone) has been played.
    sink.Arm();
    std::size_t seen = 0;
    auto grew = Clock::now();
    const auto quiet = [&](std::chrono::milliseconds wait) {
        const std::size_t now = sink.Count() + sink.Other();
        if (now != seen) {
            seen = now;
            grew = Clock::now();
        }
        return Clock::now() - grew > wait;
    };
    WaitFor([&] { return quiet(500ms); }, 300s);
    App app(bridge.Port());
    if (!app.Ok())
        return run;
    std::this_thread::sleep_for(200ms); // accepted, and the connection's start settled
    sink.Arm();
    const Tasks before = ReadTasks(bridge.Pid());
    const App::Offered offered =
        phased ? app.OfferAtPhases(sink, std::size_t(perSecond * duration.count() / 1000.0),
                                   std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(1.0 / perSecond)))
               : app.Offer(perSecond, duration);
    seen = 0;
    grew = Clock::now();
    WaitFor([&] { return sink.Count() >= offered.sent || quiet(300ms); }, 60s);
    const Tasks after = ReadTasks(bridge.Pid());
    sink.Disarm();

    const std::vector<std::uint32_t> numbers = sink.Numbers();
    const std::vector<Sink::Cycle> cycles = sink.Cycles();
    run.sent = offered.sent;
    run.delivered = numbers.size();
    run.other = sink.Other();
    const Clock::time_point last =
        std::max(offered.end, cycles.empty() ? offered.end : cycles.back().at);
    run.seconds = std::chrono::duration<double>(last - offered.start).count();
    for (const Sink::Xrun& x : sink.XrunsBetween(offered.start, last)) {
        ++run.xruns;
        run.longestXrunMs = std::max(run.longestXrunMs, x.delayedMs);
    }
    run.longestGapMs = sink.LongestGapMs();

    // Latency of every record: from the start of the write that carried it
    // to the cycle it reached the synthesizer in.
    std::vector<double> latency;
    latency.reserve(numbers.size());
    std::uint64_t next = 0;
    std::size_t cycle = 0;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        while (cycle < cycles.size() && cycles[cycle].end <= i)
            ++cycle;
        const std::uint64_t index = next + ((numbers[i] - next) & kNumberMask);
        next = index + 1;
        if (index >= offered.sent || cycle == cycles.size())
            continue;
        const auto write =
            std::upper_bound(offered.writes.begin(), offered.writes.end(), index,
                             [](std::uint64_t k, const auto& w) { return k < w.first; });
        latency.push_back(Ms(cycles[cycle].at - std::prev(write)->second));
    }
    if (!latency.empty()) {
        const Stats s = Summarize(std::move(latency));
        run.median = s.median;
        run.p99 = s.p99;
    }

    const double periods = run.seconds * sink.PeriodsPerSecond();
    long wakeups = 0;
    for (const auto& [tid, a] : after) {
        const auto b = before.find(tid);
        const TaskStat zero{};
        const TaskStat& was = b == before.end() ? zero : b->second;
        ThreadFigure f;
        f.name = a.name + "/" + std::to_string(tid);
        const double cpuMs = (a.cpuNs - was.cpuNs) / 1e6;
        run.cpuMs += cpuMs;
        wakeups += a.wakeups - was.wakeups;
        f.cpuMsPer1000 = run.delivered ? cpuMs * 1000.0 / double(run.delivered) : 0;
        f.wakeupsPerPeriod = double(a.wakeups - was.wakeups) / periods;
        f.preemptedPerPeriod = double(a.preempted - was.preempted) / periods;
        if (cpuMs > 0.05 || f.wakeupsPerPeriod > 0.01)
            run.threads.push_back(f);
    }
    run.wakeupsPerPeriod = double(wakeups) / periods;
    run.ok = true;
    std::this_thread::sleep_for(200ms); // the bridge sees the app go
    return run;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty())
        return 0;
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// "median (min-max)" of one figure over the rounds.
struct Spread {
    double median, low, high;
};
template <typename Get> Spread Over(const std::vector<Run>& runs, Get get) {
    std::vector<double> v;
    for (const Run& r : runs)
        v.push_back(get(r));
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return {Median(v), *lo, *hi};
}

std::string Format(const Spread& s, int decimals) {
    char text[96];
    std::snprintf(text, sizeof text, "%.*f (%.*f-%.*f)", decimals, s.median, decimals, s.low,
                  decimals, s.high);
    return text;
}

std::string LoadAverage() {
    std::string line;
    std::getline(std::ifstream("/proc/loadavg"), line);
    return line.substr(0, line.find(' ', line.find(' ', line.find(' ') + 1) + 1));
}

const char* Verdict(bool met) {
    return met ? "met" : "NOT met";
}

enum Which { kOurs = 0, kPlain = 1 };

} // namespace

bool RunSideBySide(const SideBySideOptions& o) {
    Sink sink;
    if (!sink.Ok()) {
        std::fprintf(stderr, "bench: no JACK sink client\n");
        return false;
    }
    const double periodMs = sink.PeriodMs();
    std::printf("\nside by side: pallorwind-win and the plain bridge, each a process of its own, "
                "started anew for each of %d rounds, the one started first changing from round "
                "to round (JACK runs the first-started client first in each period, which gives "
                "it less time to catch what comes late in a period); within a round the order "
                "of the runs changes from row to row; %lld ms a run; load average at the start "
                "%s\n",
                o.rounds, (long long)o.flood.count(), LoadAverage().c_str());

    // rows[i][which][round]; the last row is 10 messages a second.
    const std::size_t rowCount = o.perPeriod.size() + 1;
    std::vector<std::array<std::vector<Run>, 2>> rows(rowCount);
    std::vector<double> idleXruns;
    for (int round = 0; round < o.rounds; ++round) {
        std::unique_ptr<BridgeProcess> bridges[2];
        const int startedFirst = round % 2 ? kOurs : kPlain;
        for (const int which : {startedFirst, 1 - startedFirst}) {
            bridges[which] = which == kOurs ? BridgeProcess::Ours(o) : BridgeProcess::Plain(o);
            if (!bridges[which])
                return false;
        }
        std::this_thread::sleep_for(1s); // both clients' start is behind us
        {
            // The machine's own share: xruns with both bridges idle.
            sink.Arm();
            const auto from = Clock::now();
            std::this_thread::sleep_for(o.flood);
            const auto to = Clock::now();
            sink.Disarm();
            idleXruns.push_back(double(sink.XrunsBetween(from, to).size()) /
                                std::chrono::duration<double>(to - from).count());
        }
        for (std::size_t row = 0; row < rowCount; ++row) {
            const bool slow = row == o.perPeriod.size();
            const double perSecond = slow ? 10.0 : o.perPeriod[row] * 1000.0 / periodMs;
            const int first = int((std::size_t(round) + row) % 2);
            for (const int which : {first, 1 - first}) {
                Run run = Measure(*bridges[which], sink, perSecond, slow ? o.slow : o.flood, slow);
                if (!run.ok) {
                    std::fprintf(stderr, "bench: %s could not be measured; it said:\n%s",
                                 bridges[which]->Name().c_str(), bridges[which]->Said().c_str());
                    return false;
                }
                if (o.threads) {
                    std::printf("  round %d (%s started first), %s, %.0f/s: %.2f ms CPU / 1000, "
                                "%.2f wake-ups / "
                                "period, %d xruns, %zu delivered, median %.2f ms\n",
                                round + 1, bridges[startedFirst]->Name().c_str(),
                                bridges[which]->Name().c_str(), perSecond, run.CpuPer1000(),
                                run.wakeupsPerPeriod, run.xruns, run.delivered, run.median);
                    for (const ThreadFigure& t : run.threads)
                        std::printf("    %-24s %8.3f ms CPU / 1000, %6.3f wake-ups and %6.3f "
                                    "preemptions / period\n",
                                    t.name.c_str(), t.cpuMsPer1000, t.wakeupsPerPeriod,
                                    t.preemptedPerPeriod);
                }
                rows[row][which].push_back(std::move(run));
            }
        }
    }

    std::printf(
        "xruns with both bridges idle: %s per 2 s (median, min-max over the rounds)\n",
        Format({Median(idleXruns) * 2, *std::min_element(idleXruns.begin(), idleXruns.end()) * 2,
                *std::max_element(idleXruns.begin(), idleXruns.end()) * 2},
               1)
            .c_str());
    std::printf("every figure: median over %d rounds (lowest-highest)\n", o.rounds);
    std::printf("%-13s %-15s %-20s %-22s %-26s %-16s %-20s %-20s %-20s %-18s\n", "offered",
                "bridge", "xruns per 2 s", "longest xrun, ms", "delivered per s", "lost",
                "latency median, ms", "latency p99, ms", "CPU ms per 1000", "wake-ups/period");
    for (std::size_t row = 0; row < rowCount; ++row) {
        const bool slow = row == o.perPeriod.size();
        char offered[32];
        if (slow)
            std::snprintf(offered, sizeof offered, "10/s");
        else
            std::snprintf(offered, sizeof offered, "%d/period", o.perPeriod[row]);
        for (const int which : {kOurs, kPlain}) {
            const auto& runs = rows[row][which];
            std::printf(
                "%-13s %-15s %-20s %-22s %-26s %-16s %-20s %-20s %-20s %-18s\n",
                which == kOurs ? offered : "", which == kOurs ? "pallorwind-win" : "plain",
                Format(Over(runs, [](const Run& r) { return r.XrunsPerSecond() * 2; }), 1).c_str(),
                Format(Over(runs, [](const Run& r) { return r.longestXrunMs; }), 1).c_str(),
                Format(Over(runs, [](const Run& r) { return r.DeliveredPerSecond(); }), 0).c_str(),
                Format(Over(runs, [](const Run& r) { return r.Lost(); }), 0).c_str(),
                Format(Over(runs, [](const Run& r) { return r.median; }), 2).c_str(),
                Format(Over(runs, [](const Run& r) { return r.p99; }), 2).c_str(),
                Format(Over(runs, [](const Run& r) { return r.CpuPer1000(); }), 2).c_str(),
                Format(Over(runs, [](const Run& r) { return r.wakeupsPerPeriod; }), 2).c_str());
        }
    }
    std::printf("load average at the end %s\n", LoadAverage().c_str());

    // The goals, on the medians.
    const auto median = [&](std::size_t row, int which, auto get) {
        return Over(rows[row][which], get).median;
    };
    const auto xruns = [](const Run& r) { return r.XrunsPerSecond() * 2; };
    bool all = true;
    for (std::size_t row = 0; row < o.perPeriod.size(); ++row) {
        const int rate = o.perPeriod[row];
        const double ours = median(row, kOurs, xruns), plain = median(row, kPlain, xruns);
        const double lost = median(row, kOurs, [](const Run& r) { return r.Lost(); });
        bool met;
        char goal[64];
        if (rate <= 100) {
            met = ours <= plain + 2;
            std::snprintf(goal, sizeof goal, "<= plain + 2 = %.1f", plain + 2);
        } else if (rate <= 500) {
            met = ours <= 1.5 * plain;
            std::snprintf(goal, sizeof goal, "<= 1.5 x plain = %.1f", 1.5 * plain);
        } else {
            met = ours <= 3 * plain && lost == 0;
            std::snprintf(goal, sizeof goal, "<= 3 x plain = %.1f, nothing lost", 3 * plain);
        }
        std::printf("goal at %d/period: xruns per 2 s %.1f %s (lost %.0f): %s\n", rate, ours, goal,
                    lost, Verdict(met));
        all &= met;
        const auto cpu = [](const Run& r) { return r.CpuPer1000(); };
        const double oursCpu = median(row, kOurs, cpu), plainCpu = median(row, kPlain, cpu);
        std::printf("goal at %d/period: CPU %.2f ms per 1000 <= plain's %.2f: %s\n", rate, oursCpu,
                    plainCpu, Verdict(oursCpu <= plainCpu));
        all &= oursCpu <= plainCpu;
        if (rate == 3 || rate == 100) {
            for (const bool p99 : {false, true}) {
                const auto get = [p99](const Run& r) { return p99 ? r.p99 : r.median; };
                const double a = median(row, kOurs, get), b = median(row, kPlain, get);
                std::printf(
                    "goal at %d/period: latency %s %.2f ms <= 1.1 x plain's = %.2f ms: %s\n", rate,
                    p99 ? "p99" : "median", a, 1.1 * b, Verdict(a <= 1.1 * b));
                all &= a <= 1.1 * b;
            }
        }
    }
    {
        const std::size_t row = o.perPeriod.size();
        const auto get = [](const Run& r) { return r.median; };
        const double a = median(row, kOurs, get), b = median(row, kPlain, get);
        std::printf("goal at 10/s: latency median %.2f ms <= 1.05 x plain's = %.2f ms: %s\n", a,
                    1.05 * b, Verdict(a <= 1.05 * b));
        all &= a <= 1.05 * b;
    }
    std::printf("all goals: %s\n", Verdict(all));
    return true;
}

} // namespace pallorwind::bench
