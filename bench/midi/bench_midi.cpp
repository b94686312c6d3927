// MIDI through the whole bridge on a private JACK server (dummy backend):
// flood throughput with nothing lost, and the latency app -> JACK output and
// JACK input -> app, beside the JACK period. One run prints everything.
//   build/bench/midi/bench_midi [--quick]   (--quick: a 1 s flood, fewer notes)
#include "bench/support/LatencyStats.h"
#include "platform/midi/MidiDevices.h"
#include "tests/app/BridgeTestSupport.h"
#include "tests/app/JackPeer.h"
#include "win/app/BridgeController.h"

#include <jack/jack.h>

#include <QCoreApplication>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

using namespace pallorwind;
using namespace std::chrono_literals;
using pallorwind::testing::AppClient;
using pallorwind::testing::Clock;
using pallorwind::testing::SpinUntil;

using pallorwind::bench::Ms;
using pallorwind::bench::Stats;
using pallorwind::bench::Summarize;

namespace {

std::atomic<int> g_jackErrors{0};

std::array<std::uint8_t, 3> FloodRecord(std::uint32_t k) {
    return {std::uint8_t(0x80 | (k >> 14 & 0x0F)), std::uint8_t(k & 0x7F),
            std::uint8_t(k >> 7 & 0x7F)};
}

class JackServer {
public:
    JackServer() : m_name("pwbench-" + std::to_string(getpid())) {
        setenv("JACK_DEFAULT_SERVER", m_name.c_str(), 1);
        setenv("JACK_NO_START_SERVER", "1", 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        m_ok = Run("start", " /tmp/" + m_name + ".log") == 0;
    }
    ~JackServer() { Run("stop", ""); }
    bool Ok() const { return m_ok; }

private:
    int Run(const char* what, const std::string& extra) {
        const std::string command = std::string(PALLORWIND_SOURCE_DIR) +
                                    "/tools/jack-test-server.sh " + what + " " + m_name + extra;
        return std::system(command.c_str());
    }
    std::string m_name;
    bool m_ok = false;
};

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const auto floodTime = quick ? 1s : 2s;
    const int notes = quick ? 100 : 400;
    JackServer server;
    if (!server.Ok()) {
        std::fprintf(stderr, "bench: could not start a JACK server\n");
        return 1;
    }
    jack_set_error_function([](const char*) { ++g_jackErrors; });
    QCoreApplication qapp(argc, argv);
    {
        jack_client_t* probe = jack_client_open("pwbench-probe", JackNoStartServer, nullptr);
        const std::uint32_t periodFrames = jack_get_buffer_size(probe);
        const std::uint32_t sampleRate = jack_get_sample_rate(probe);
        jack_client_close(probe);
        const double periodMs = 1000.0 * periodFrames / sampleRate;
        std::printf("JACK period: %u frames at %u Hz = %.2f ms\n", periodFrames, sampleRate,
                    periodMs);

        auto peer = std::make_unique<pallorwind::testing::JackPeer>("pwbench-synth");
        const auto system = midi::CreateMidiSystem(midi::MidiApi::Jack);
        win::MemorySettingsStore settings;
        settings.values = {{win::kSettingOutMidiPort, "pwbench-synth:in"},
                           {win::kSettingInMidiPort, "pwbench-synth-src:out"}};
        pallorwind::testing::RecordingUi ui;
        win::BridgeController bridge(settings, *system, ui, "bench");
        bridge.Start();
        if (!bridge.Ports().InputOpen() || !bridge.Ports().OutputOpen()) {
            std::fprintf(stderr, "bench: the bridge did not open its devices\n");
            return 1;
        }
        AppClient app(std::uint16_t(std::stoi(bridge.Port())));
        SpinUntil([&] { return bridge.Clients() == 1; });

        // (a) Flood: the app writes as fast as TCP takes it (2 s, 1 s quick).
        std::atomic<bool> flooding{true};
        std::atomic<std::uint32_t> sent{0};
        const auto floodStart = Clock::now();
        std::thread flood([&] {
            std::vector<std::uint8_t> chunk;
            std::uint32_t k = 0;
            while (Clock::now() - floodStart < floodTime) {
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
        SpinUntil([&] { return !flooding; }, 60s);
        flood.join();
        const std::size_t total = sent;
        SpinUntil([&] { return peer->Count() >= total; }, 120s);
        const auto received = peer->Received();
        const auto times = peer->ArrivalTimes();
        std::size_t inOrder = 0;
        for (const auto& m : received) {
            const auto want = FloodRecord(std::uint32_t(inOrder));
            if (m != pallorwind::testing::JackPeer::Message(want.begin(), want.end()))
                break;
            ++inOrder;
        }
        const double seconds =
            std::chrono::duration<double>(times.empty() ? 0s : times.back() - floodStart).count();
        const double rate = double(received.size()) / seconds;
        const double perPeriod = rate * periodMs / 1000.0;
        std::printf("flood, app -> JACK: %zu records sent, %zu delivered in order, %zu lost, "
                    "%.0f records/s delivered (%.0f per JACK period; a port buffer holds ~2,700)\n",
                    total, inOrder, total - std::min(total, received.size()), rate, perPeriod);
        std::printf("JACK errors during the flood (lost events): %d\n", g_jackErrors.load());

        // (b) Latency app -> JACK output: one note every 5 ms.
        std::vector<double> outLatency;
        const std::size_t before = peer->Count();
        for (int i = 0; i < notes; ++i) {
            const auto t0 = Clock::now();
            app.Send({0x91, std::uint8_t(i & 0x7F), 0x40});
            SpinUntil([&] { return peer->Count() >= before + std::size_t(i) + 1; }, 10s);
            outLatency.push_back(Ms(peer->ArrivalTimes().back() - t0));
            const auto next = t0 + 5ms;
            SpinUntil([&] { return Clock::now() >= next; }, 1s);
        }
        const Stats out = Summarize(outLatency);
        std::printf("latency app -> JACK output (%zu notes): median %.2f ms, p99 %.2f ms, max "
                    "%.2f ms = %.2f / %.2f / %.2f JACK periods\n",
                    outLatency.size(), out.median, out.p99, out.max, out.median / periodMs,
                    out.p99 / periodMs, out.max / periodMs);

        // (c) Latency JACK input -> app: one note every 7 ms.
        std::vector<double> inLatency;
        // The bridge needs no event loop on this path (MIDI thread, then the
        // session's send thread), so the app simply waits on its socket.
        appsim::AppConnection& connection = app.Connection();
        const std::size_t got = connection.Messages().size();
        for (int i = 0; i < notes; ++i) {
            const auto t0 = Clock::now();
            peer->Play({0x92, std::uint8_t(i & 0x7F), 0x40});
            connection.ReceiveMessages(got + std::size_t(i) + 1, 10s);
            inLatency.push_back(Ms(connection.Messages().back().arrival - t0));
            const auto next = t0 + 7ms;
            SpinUntil([&] { return Clock::now() >= next; }, 1s);
        }
        const Stats in = Summarize(inLatency);
        std::printf("latency JACK input -> app (%zu notes): median %.2f ms, p99 %.2f ms, max "
                    "%.2f ms (bound: one JACK period + the sender's 50 ms wait = %.1f ms)\n",
                    inLatency.size(), in.median, in.p99, in.max, periodMs + 50.0);
        bridge.Exit();
    }
    return 0;
}
