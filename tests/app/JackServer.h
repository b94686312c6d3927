// What tests on the fixture's JACK server share: looking at its ports from a
// client of the test's own, waiting, and stopping or starting the server
// (tools/jack-test-server.sh; the test target defines PALLORWIND_SOURCE_DIR).
#pragma once

#include <jack/jack.h>

#include <chrono>
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

// Connects the port `from` to the port `to`, as a patchbay does.
inline bool Patch(const std::string& from, const std::string& to) {
    jack_client_t* client = jack_client_open("pwtest-patch", JackNoStartServer, nullptr);
    if (!client)
        return false;
    const int result = jack_connect(client, from.c_str(), to.c_str());
    jack_client_close(client);
    return result == 0;
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

// Runs the test server's script: "start", or "stop-server" (its clients
// stay, and see it go away).
inline int TestServer(const std::string& what) {
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    const char* log = std::getenv("PALLORWIND_JACK_LOG");
    const std::string command = std::string(PALLORWIND_SOURCE_DIR) + "/tools/jack-test-server.sh " +
                                what + " " + (server ? server : "") + " " +
                                (what == "start" && log ? log : "");
    return std::system(command.c_str());
}

} // namespace pallorwind::testing
