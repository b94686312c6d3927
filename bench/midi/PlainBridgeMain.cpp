// The plain reference bridge as a process of its own, so that the benchmark
// measures its CPU time as it measures pallorwind-win's:
//   pwbench_plain_bridge CLIENT TARGET   (TARGET: a JACK port "client:port")
// Prints the loopback port it listens on, one line, and runs until SIGTERM.
#include "bench/midi/PlainRtMidiBridge.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CLIENT TARGET\n", argv[0]);
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    // Blocked before any thread starts, so only sigwait below takes them.
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    int result = 0;
    {
        pallorwind::bench::PlainRtMidiBridge bridge(argv[1], argv[2]);
        if (!bridge.Ok()) {
            std::fprintf(stderr, "plain bridge: no port or no JACK output %s\n", argv[2]);
            return 1;
        }
        std::printf("%u\n", unsigned(bridge.Port()));
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stop, &signal);
        bridge.ClosePort();
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a cycle or more
    }
    return result;
}
