// Measures the network link: record throughput into SendMidiOut against a
// plain loopback reader, app-to-output latency, input-to-app latency, and the
// CPU cost of idle sessions. Usage: bench_net [--quick]
#include "bench/support/LatencyStats.h"
#include "tests/support/EventLoop.h"
#include "win/net/CCommuInterface.h"
#include "win/net/CServerHolder.h"
#include "win/net/MidiInProc.h"
#include "win/net/TCPServer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

// Median time from MidiInProc to the app's read that the send thread must meet.
constexpr double kInputToAppGoalUs = 200.0;
using namespace std::chrono_literals;
using namespace pallorwind::win;

using pallorwind::bench::Ms;
using pallorwind::bench::Stats;
using pallorwind::bench::Summarize;

namespace {

int Connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    return fd;
}

void SendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const long n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        data += n;
        size -= std::size_t(n);
    }
}

// Counts and timestamps what the link plays (on the apps' reading threads).
class BenchCommu : public CCommuInterface, public CServerHolder {
public:
    // The server's readers count into our members: they end first.
    ~BenchCommu() override { DeleteServer(); }
    int SendMidiOut(std::uint32_t msg) override {
        ++played;
        if (stamp) {
            std::lock_guard lock(arrivalsLock);
            arrivals.push_back({msg, Clock::now()});
        }
        return 0;
    }
    std::size_t ArrivalCount() {
        std::lock_guard lock(arrivalsLock);
        return arrivals.size();
    }
    pallorwind::platform::ReadGate& GetReadGate() override { return gate; }
    bool GetDisplayBonjourMsg() override { return false; }
    pallorwind::platform::UserInterface& GetUserInterface() override { return ui; }
    void OnClientConnected() override {
        ++clients;
        ++connects;
    }
    void OnClientDisconnected() override { --clients; }

    std::atomic<long> played{0};
    int clients = 0;
    int connects = 0;
    bool stamp = false;
    pallorwind::platform::HeadlessUserInterface ui;
    pallorwind::platform::ReadGate gate;
    std::mutex arrivalsLock;
    std::vector<std::pair<std::uint32_t, Clock::time_point>> arrivals;
};

template <typename Pred> void PumpUntil(Pred done) {
    pallorwind::test::PumpUntil(done, std::chrono::hours(1));
}

std::vector<std::uint8_t> MakeRecords(long count) {
    std::vector<std::uint8_t> bytes(std::size_t(count) * 3);
    for (long i = 0; i < count; ++i) {
        bytes[std::size_t(i) * 3] = 0x90;
        bytes[std::size_t(i) * 3 + 1] = std::uint8_t(i % 128);
        bytes[std::size_t(i) * 3 + 2] = std::uint8_t(i / 128 % 128);
    }
    return bytes;
}

// Records per second through a plain loopback reader that only counts bytes.
double ReferenceRate(const std::vector<std::uint8_t>& records) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::atomic<Clock::rep> startedAt{0};
    std::thread app([&] {
        const int fd = Connect(ntohs(a.sin_port));
        startedAt = Clock::now().time_since_epoch().count();
        SendAll(fd, records.data(), records.size());
        ::close(fd);
    });
    const int fd = ::accept(listener, nullptr, nullptr);
    std::size_t total = 0;
    char buffer[6000];
    for (long n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        total += std::size_t(n);
    const auto elapsed = Clock::now().time_since_epoch() - Clock::duration(startedAt.load());
    app.join();
    ::close(fd);
    ::close(listener);
    return double(total / 3) / std::chrono::duration<double>(elapsed).count();
}

double BridgeRate(const std::vector<std::uint8_t>& records) {
    BenchCommu commu;
    commu.SetServer(std::make_unique<TCPServer>(&commu, "", "0"));
    const auto port = TCPServer::ParsePort(commu.Server()->Port());
    const long expected = long(records.size() / 3);
    std::atomic<Clock::rep> startedAt{0};
    std::thread app([&] {
        const int fd = Connect(port);
        startedAt = Clock::now().time_since_epoch().count();
        SendAll(fd, records.data(), records.size());
        ::shutdown(fd, SHUT_WR);
        char sink[64];
        while (::recv(fd, sink, sizeof sink, 0) > 0) {
        }
        ::close(fd);
    });
    PumpUntil([&] { return commu.played >= expected; });
    const auto elapsed = Clock::now().time_since_epoch() - Clock::duration(startedAt.load());
    commu.DeleteServer();
    app.join();
    return double(expected) / std::chrono::duration<double>(elapsed).count();
}

Stats AppToOutputLatency(int samples) {
    BenchCommu commu;
    commu.SetServer(std::make_unique<TCPServer>(&commu, "", "0"));
    commu.stamp = true;
    const auto port = TCPServer::ParsePort(commu.Server()->Port());
    std::vector<Clock::time_point> sent(static_cast<std::size_t>(samples));
    std::thread app([&] {
        const int fd = Connect(port);
        for (int i = 0; i < samples; ++i) {
            const std::uint8_t record[3] = {0x90, std::uint8_t(i % 128), std::uint8_t(i / 128)};
            sent[std::size_t(i)] = Clock::now();
            SendAll(fd, record, 3);
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(100ms);
        ::close(fd);
    });
    PumpUntil([&] { return long(commu.ArrivalCount()) >= samples; });
    app.join();
    commu.DeleteServer(); // its reader has ended
    std::vector<double> latencies;
    for (const auto& [word, when] : commu.arrivals) {
        const int i = int((word >> 8) & 0x7F) | int((word >> 16) & 0x7F) << 7;
        latencies.push_back(Ms(when - sent[std::size_t(i)]) * 1000.0);
    }
    return Summarize(latencies);
}

Stats InputToAppLatency(int samples) {
    BenchCommu commu;
    commu.SetServer(std::make_unique<TCPServer>(&commu, "", "0"));
    const auto port = TCPServer::ParsePort(commu.Server()->Port());
    std::vector<Clock::time_point> played(static_cast<std::size_t>(samples));
    std::vector<double> latencies;
    std::atomic<bool> ready{false};
    std::thread app([&] {
        const int fd = Connect(port);
        ready = true;
        std::string stream;
        char buffer[4096];
        while (int(latencies.size()) < samples) {
            const long n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            const auto now = Clock::now();
            stream.append(buffer, std::size_t(n));
            while (stream.size() >= 3) {
                const int i = stream[1] | stream[2] << 7;
                latencies.push_back(Ms(now - played[std::size_t(i)]) * 1000.0);
                stream.erase(0, 3);
            }
        }
        ::close(fd);
    });
    PumpUntil([&] { return ready && commu.connects > 0; });
    std::thread midi([&] {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> gapUs(2000, 23000);
        for (int i = 0; i < samples; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(gapUs(random)));
            played[std::size_t(i)] = Clock::now();
            MidiInProc(nullptr, MidiInNotice::MIM_DATA, &commu,
                       0x90u | std::uint32_t(i % 128) << 8 | std::uint32_t(i / 128) << 16, 0);
        }
    });
    midi.join();
    app.join();
    commu.DeleteServer();
    return Summarize(latencies);
}

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double IdleCpu(int sessions, std::chrono::seconds period) {
    BenchCommu commu;
    commu.SetServer(std::make_unique<TCPServer>(&commu, "", "0"));
    const auto port = TCPServer::ParsePort(commu.Server()->Port());
    std::vector<int> apps;
    // Connected from another thread while the event loop accepts.
    std::thread connector([&] {
        for (int i = 0; i < sessions; ++i)
            apps.push_back(Connect(port));
    });
    PumpUntil([&] { return commu.clients == sessions; });
    connector.join();
    const double before = CpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(period, &loop, &QEventLoop::quit);
    loop.exec();
    const double used = CpuSeconds() - before;
    for (int fd : apps)
        ::close(fd);
    commu.DeleteServer();
    return used;
}

} // namespace

int main(int argc, char* argv[]) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    const long count = quick ? 2000000 : 10000000;
    const auto records = MakeRecords(count);
    const double reference = ReferenceRate(records);
    const double bridge = BridgeRate(records);
    std::printf("network link benchmark\n");
    std::printf("(a) throughput, %ld records from a loopback app:\n", count);
    std::printf("    plain loopback reader     %12.0f records/s\n", reference);
    std::printf("    CReceiveSocket->SendMidiOut %10.0f records/s   ratio %.2f\n", bridge,
                bridge / reference);

    const auto out = AppToOutputLatency(quick ? 300 : 2000);
    std::printf("(b) app -> SendMidiOut latency: median %.1f us, p99 %.1f us, max %.1f us\n",
                out.median, out.p99, out.max);

    const auto in = InputToAppLatency(quick ? 100 : 1000);
    std::printf("(c) MidiInProc -> app latency: median %.1f us (goal <= %.0f us), p99 %.1f us, "
                "max %.1f us\n",
                in.median, kInputToAppGoalUs, in.p99, in.max);

    const auto period = std::chrono::seconds(quick ? 2 : 10);
    const double none = IdleCpu(0, period);
    const double ten = IdleCpu(10, period);
    std::printf("    CPU over %lds: idle server %.1f ms, ten idle sessions %.1f ms "
                "(%.3f%% of one core)\n",
                long(period.count()), none * 1000, ten * 1000,
                100.0 * ten / double(period.count()));
    return 0;
}
