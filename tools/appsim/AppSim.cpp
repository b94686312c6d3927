#include "tools/appsim/AppSim.h"

#include "tools/appsim/AppConnection.h"
#include "tools/appsim/Discovery.h"

#include <algorithm>
#include <thread>

namespace pallorwind::appsim {

namespace {

constexpr std::size_t kBurstChunk = 64 * 1024;
constexpr std::chrono::milliseconds kBrowseTime{2000};
constexpr std::chrono::milliseconds kFindTimeout{5000};

// Receives what is there (waiting up to `wait`) and prints it.
AppConnection::ReceiveResult ReceiveAndPrint(AppConnection& connection,
                                             std::chrono::milliseconds wait, std::ostream& out) {
    const auto result = connection.ReceiveOnce(wait);
    for (const ReceivedMessage& message : connection.TakeMessages())
        out << FormatMessageLine(message, connection.ConnectedAt()) << '\n';
    out.flush();
    connection.TakeReceived();
    return result;
}

void SendAll(const Options& options, AppConnection& connection, std::ostream& out) {
    if (options.recordsPerSecond <= 0) {
        std::vector<std::uint8_t> burst;
        for (unsigned round = 0; round < options.repeat; ++round)
            for (const Record& record : options.records)
                burst.insert(burst.end(), record.begin(), record.end());
        // In chunks, printing what arrives in between, so that a long burst
        // does not leave the bridge's messages unread meanwhile.
        for (std::size_t at = 0; at < burst.size(); at += kBurstChunk) {
            connection.Send(burst.data() + at, std::min(kBurstChunk, burst.size() - at));
            ReceiveAndPrint(connection, std::chrono::milliseconds(0), out);
        }
        return;
    }
    const auto interval = std::chrono::duration<double>(1.0 / options.recordsPerSecond);
    const Clock::time_point start = Clock::now();
    std::size_t sent = 0;
    for (unsigned round = 0; round < options.repeat; ++round) {
        for (const Record& record : options.records) {
            const auto due =
                start + std::chrono::duration_cast<Clock::duration>(interval * double(sent));
            while (Clock::now() < due) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now());
                if (ReceiveAndPrint(connection, wait, out) ==
                    AppConnection::ReceiveResult::Closed) {
                    // Nothing left to wait for; keep the pace without the socket.
                    std::this_thread::sleep_until(due);
                }
            }
            connection.Send(record.data(), record.size());
            ++sent;
        }
    }
}

} // namespace

static int Browse(std::ostream& out, std::ostream& err) {
    try {
        const auto found = BrowseServices(kBridgeServiceType, kBrowseTime);
        for (const FoundService& service : found)
            out << '"' << service.name << "\" " << service.host << ' '
                << (service.address.empty() ? service.host : service.address) << ':' << service.port
                << '\n';
        err << "# " << found.size() << " bridge(s) found\n";
        return 0;
    } catch (const DiscoveryError& error) {
        err << "pallorwind-appsim: " << error.what() << '\n';
        return 1;
    }
}

int RunAppSim(const Options& options, std::ostream& out, std::ostream& err) {
    Endpoint endpoint = options.endpoint;
    if (!options.serviceName.empty()) {
        try {
            const FoundService service =
                FindService(options.serviceName, kBridgeServiceType, kFindTimeout);
            endpoint.host = service.address.empty() ? service.host : service.address;
            endpoint.port = service.port;
            err << "# \"" << service.name << "\" is " << service.host << " port " << service.port
                << '\n';
        } catch (const DiscoveryError& error) {
            err << "pallorwind-appsim: " << error.what() << '\n';
            return 1;
        }
    }
    const std::string where = endpoint.host + ":" + std::to_string(endpoint.port);
    try {
        AppConnection connection = AppConnection::Connect(endpoint.host, endpoint.port);
        err << "# connected to " << where << "; sending " << options.records.size() << " record(s)";
        if (options.repeat > 1)
            err << " x " << options.repeat;
        err << '\n';

        SendAll(options, connection, out);

        const Clock::time_point end =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(options.listenSeconds));
        while (!connection.PeerClosed()) {
            const Clock::time_point now = Clock::now();
            if (now >= end)
                break;
            ReceiveAndPrint(connection, std::chrono::ceil<std::chrono::milliseconds>(end - now),
                            out);
        }
        if (connection.PendingBytes() > 0)
            err << "# " << connection.PendingBytes()
                << " byte(s) of an unfinished message at the end\n";
        if (connection.PeerClosed())
            err << "# the bridge closed the connection\n";
        return 0;
    } catch (const ConnectionError& error) {
        out.flush();
        err << "pallorwind-appsim: " << error.what() << '\n';
        return 1;
    }
}

int AppSimMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options options;
    try {
        options = ParseCommandLine(args);
    } catch (const UsageError& error) {
        err << "pallorwind-appsim: " << error.what() << "\n(pallorwind-appsim --help for usage)\n";
        return 2;
    }
    if (options.help) {
        out << UsageText();
        return 0;
    }
    if (options.browse)
        return Browse(out, err);
    return RunAppSim(options, out, err);
}

} // namespace pallorwind::appsim
