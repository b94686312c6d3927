#include "tools/appsim/AppSim.h"

#include "tools/appsim/AppConnection.h"
#include "tools/appsim/Discovery.h"
#include "tools/appsim/LayoutStream.h"

#include "protocol/LayoutTransfer.h"

#include <algorithm>
#include <thread>

namespace pallorwind::appsim {

namespace {

constexpr std::size_t kBurstChunk = 64 * 1024;
constexpr std::chrono::milliseconds kBrowseTime{2000};
constexpr std::chrono::milliseconds kFindTimeout{5000};

// How long a layout's burst may pause and still go on: its name runs to the
// burst's end.
constexpr std::chrono::milliseconds kLayoutBurstGap{50};

// One connection's receiving side: prints MIDI, and with --save-layouts
// stores the layouts in between.
struct Receiver {
    AppConnection& connection;
    std::ostream& out;
    std::ostream& err;
    std::string saveDir; // empty: every byte is MIDI
    BridgeStream stream;

    void Print(const std::vector<ReceivedMessage>& messages) {
        for (const ReceivedMessage& message : messages)
            out << FormatMessageLine(message, connection.ConnectedAt()) << '\n';
        out.flush();
    }

    // Takes what arrived into the stream; true when a layout has ended.
    bool FeedStream() {
        const std::string bytes = connection.TakeReceived();
        std::vector<ReceivedMessage> messages;
        stream.Feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), Clock::now(),
                    messages);
        Print(messages);
        return stream.LayoutEnded();
    }

    void SaveEndedLayout() {
        // The rest of the burst is still the name.
        while (connection.ReceiveOnce(kLayoutBurstGap) == AppConnection::ReceiveResult::Data)
            FeedStream();
        bool refused = false;
        const auto layout = stream.TakeLayout(refused);
        if (refused) {
            err << "# a layout longer than " << protocol::kMaxLayoutContentSize
                << " bytes was dropped\n";
            return;
        }
        try {
            const std::string path = SaveLayout(saveDir, *layout);
            err << "# layout \"" << layout->name << "\" (" << layout->content.size()
                << " bytes) saved as " << path << '\n';
        } catch (const std::runtime_error& error) {
            err << "pallorwind-appsim: " << error.what() << '\n';
        }
    }

    // Receives what is there (waiting up to `wait`) and prints it.
    AppConnection::ReceiveResult ReceiveAndPrint(std::chrono::milliseconds wait) {
        const auto result = connection.ReceiveOnce(wait);
        if (saveDir.empty()) {
            Print(connection.TakeMessages());
            connection.TakeReceived();
            return result;
        }
        connection.TakeMessages();
        if (FeedStream())
            SaveEndedLayout();
        return result;
    }

    std::size_t PendingBytes() const {
        return saveDir.empty() ? connection.PendingBytes() : stream.PendingBytes();
    }
};

void SendAll(const Options& options, AppConnection& connection, Receiver& receiver) {
    if (options.recordsPerSecond <= 0) {
        std::vector<std::uint8_t> burst;
        for (unsigned round = 0; round < options.repeat; ++round)
            for (const Record& record : options.records)
                burst.insert(burst.end(), record.begin(), record.end());
        // In chunks, printing what arrives in between, so that a long burst
        // does not leave the bridge's messages unread meanwhile.
        for (std::size_t at = 0; at < burst.size(); at += kBurstChunk) {
            connection.Send(burst.data() + at, std::min(kBurstChunk, burst.size() - at));
            receiver.ReceiveAndPrint(std::chrono::milliseconds(0));
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
                if (receiver.ReceiveAndPrint(wait) == AppConnection::ReceiveResult::Closed) {
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

        Receiver receiver{connection, out, err, options.saveLayoutsDir, {}};
        SendAll(options, connection, receiver);
        if (options.sendLayout) {
            // As the app does: the marker by itself, then the block.
            const std::string marker = protocol::LayoutMarker();
            connection.Send(marker.data(), marker.size());
            const std::string block =
                protocol::EncodeLayoutBlock(options.layoutContent, options.layoutName);
            connection.Send(block.data(), block.size());
            err << "# sent layout \"" << options.layoutName << "\" ("
                << options.layoutContent.size() << " bytes)\n";
        }

        const Clock::time_point end =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(options.listenSeconds));
        while (!connection.PeerClosed()) {
            const Clock::time_point now = Clock::now();
            if (now >= end)
                break;
            receiver.ReceiveAndPrint(std::chrono::ceil<std::chrono::milliseconds>(end - now));
        }
        if (receiver.PendingBytes() > 0)
            err << "# " << receiver.PendingBytes()
                << " byte(s) of an unfinished message at the end\n";
        if (receiver.stream.InLayout())
            err << "# a layout was still arriving at the end\n";
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
        err << "pallorwind-appsim: " << error.what() << " (see --help)\n";
        return 2;
    }
    if (options.help) {
        out << UsageText();
        return 0;
    }
    if (options.version) {
        out << "pallorwind-appsim " << PALLORWIND_VERSION << '\n';
        return 0;
    }
    if (options.browse)
        return Browse(out, err);
    return RunAppSim(options, out, err);
}

} // namespace pallorwind::appsim
