// What tests on the fixture's JACK server share: looking at its ports from a
// client of the test's own, waiting, and stopping or starting the server
// (tools/jack-test-server.sh, or tools/pipewire-test-server.sh for PipeWire's
// JACK; the test target defines PALLORWIND_SOURCE_DIR).
#pragma once

#include <jack/jack.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <thread>

namespace pallorwind::testing {

// Every port on the server whose name starts with `prefix`.
inline std::set<std::string> PortsStartingWith(const std::string& prefix) {
    std::set<std::string> names;
    jack_client_t* client = jack_client_open("pwtest-lsp", JackNoStartServer, nullptr);
    if (!client)
        return names;
    if (const char** ports = jack_get_ports(client, nullptr, nullptr, 0)) {
        for (const char** p = ports; *p; ++p)
            if (std::string_view(*p).starts_with(prefix))
                names.insert(*p);
        jack_free(ports);
    }
    jack_client_close(client);
    return names;
}

// Connects the port `from` to the port `to`, as a patchbay does, and returns
// once the connection carries MIDI: it shows in the graph, and a few periods
// have begun since (PipeWire's JACK makes its links live a little later).
inline bool Patch(const std::string& from, const std::string& to) {
    jack_client_t* client = jack_client_open("pwtest-patch", JackNoStartServer, nullptr);
    if (!client)
        return false;
    bool ok = jack_connect(client, from.c_str(), to.c_str()) == 0;
    const jack_port_t* port = jack_port_by_name(client, from.c_str());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (ok && !(port && jack_port_connected_to(port, to.c_str()))) {
        ok = std::chrono::steady_clock::now() < deadline;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double period = double(jack_get_buffer_size(client)) / jack_get_sample_rate(client);
    jack_client_close(client);
    if (ok)
        std::this_thread::sleep_for(std::chrono::duration<double>(4 * period));
    return ok;
}

template <typename Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Whether the fixture's server is PipeWire's JACK (tools/pipewire-test-server.sh,
// in PIPEWIRE_RUNTIME_DIR) rather than jackd (tools/jack-test-server.sh,
// named by JACK_DEFAULT_SERVER).
inline bool OnPipeWire() {
    const char* server = std::getenv("PALLORWIND_TEST_SERVER");
    return server && std::string_view(server) == "pipewire";
}

// Runs the test server's script: "start", or "stop-server" (its clients
// stay, and see it go away).
inline int TestServer(const std::string& what) {
    const bool pipewire = OnPipeWire();
    const char* server = std::getenv(pipewire ? "PIPEWIRE_RUNTIME_DIR" : "JACK_DEFAULT_SERVER");
    const char* log = std::getenv("PALLORWIND_JACK_LOG");
    const std::string command =
        std::string(PALLORWIND_SOURCE_DIR) +
        (pipewire ? "/tools/pipewire-test-server.sh " : "/tools/jack-test-server.sh ") + what +
        " " + (server ? server : "") + " " + (what == "start" && log ? log : "");
    return std::system(command.c_str());
}

// The test server's process id, as its script keeps it.
inline int TestServerPid() {
    const char* tmp = std::getenv("TMPDIR");
    const bool pipewire = OnPipeWire();
    const char* server = std::getenv(pipewire ? "PIPEWIRE_RUNTIME_DIR" : "JACK_DEFAULT_SERVER");
    const std::string path = pipewire ? std::string(server ? server : "") + "/pipewire.pid"
                                      : std::string(tmp ? tmp : "/tmp") + "/pallorwind-jackd-" +
                                            (server ? server : "") + ".pid";
    int pid = 0;
    if (FILE* file = std::fopen(path.c_str(), "r")) {
        if (std::fscanf(file, "%d", &pid) != 1)
            pid = 0;
        std::fclose(file);
    }
    return pid;
}

} // namespace pallorwind::testing
