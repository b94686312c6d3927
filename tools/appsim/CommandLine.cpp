#include "tools/appsim/CommandLine.h"

#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace pallorwind::appsim {

namespace {

constexpr std::string_view kWhitespace = " \t\r\n";

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kWhitespace);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kWhitespace) - first + 1);
}

std::uint8_t ParseHexByte(std::string_view text, std::string_view record) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || text.size() > 2 || ec != std::errc() || end != text.data() + text.size())
        throw UsageError("bad record '" + std::string(record) +
                         "': expected hex bytes like 90:3C:7F");
    return std::uint8_t(value);
}

double ParseNumber(std::string_view option, std::string_view text) {
    const std::string copy(text);
    std::size_t used = 0;
    double value = -1;
    try {
        value = std::stod(copy, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (copy.empty() || used != copy.size() || !std::isfinite(value) || value < 0)
        throw UsageError(std::string(option) + " needs a number of at least 0, not '" + copy + "'");
    return value;
}

} // namespace

Record ParseRecord(std::string_view text, bool raw) {
    Record record;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = text.find(':', start);
        record.push_back(ParseHexByte(text.substr(start, colon - start), text));
        if (colon == std::string_view::npos)
            break;
        start = colon + 1;
    }
    if (!raw) {
        if (record.size() > 3)
            throw UsageError("bad record '" + std::string(text) +
                             "': at most three bytes (use --raw for longer)");
        record.resize(3, 0);
    }
    return record;
}

std::vector<Record> ParseRecordFile(std::istream& in, std::string_view name, bool raw) {
    std::vector<Record> records;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string_view text = Trim(std::string_view(line).substr(0, line.find('#')));
        if (text.empty())
            continue;
        try {
            records.push_back(ParseRecord(text, raw));
        } catch (const UsageError& error) {
            throw UsageError(std::string(name) + ":" + std::to_string(number) + ": " +
                             error.what());
        }
    }
    if (in.bad())
        throw UsageError("cannot read " + std::string(name));
    return records;
}

Endpoint ParseEndpoint(std::string_view text) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        throw UsageError("expected HOST:PORT, not '" + std::string(text) + "'");
    Endpoint endpoint;
    std::string_view host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            throw UsageError("expected [ADDRESS]:PORT, not '" + std::string(text) + "'");
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string_view::npos) {
        throw UsageError("write an IPv6 address in brackets: [" + std::string(host) + "]:PORT");
    }
    endpoint.host = host;
    const std::string_view port = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value == 0 ||
        value > 65535)
        throw UsageError("bad port '" + std::string(port) + "' in '" + std::string(text) +
                         "': expected 1-65535");
    endpoint.port = std::uint16_t(value);
    return endpoint;
}

Options ParseCommandLine(const std::vector<std::string>& args) {
    Options options;
    bool haveEndpoint = false;
    // Records are parsed once --raw is known, which may come after them.
    struct Source {
        bool isFile;
        std::string text;
    };
    std::vector<Source> sources;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::string_view value;
        bool hasInlineValue = false;
        if (arg.starts_with("--")) {
            if (const auto eq = arg.find('='); eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInlineValue = true;
            }
        }
        auto takeValue = [&]() -> std::string_view {
            if (hasInlineValue)
                return value;
            if (i + 1 >= args.size())
                throw UsageError(std::string(arg) + " needs a value");
            return args[++i];
        };
        auto noValue = [&] {
            if (hasInlineValue)
                throw UsageError(std::string(arg) + " takes no value");
        };

        if (arg == "-h" || arg == "--help") {
            noValue();
            options.help = true;
        } else if (arg == "--version") {
            noValue();
            options.version = true;
        } else if (arg == "--browse") {
            noValue();
            options.browse = true;
        } else if (arg == "--raw") {
            noValue();
            options.raw = true;
        } else if (arg == "--file") {
            sources.push_back({true, std::string(takeValue())});
        } else if (arg == "--send-layout") {
            const std::filesystem::path path(takeValue());
            std::ifstream file(path, std::ios::binary);
            if (!file)
                throw UsageError("cannot open layout file " + path.string());
            options.layoutContent.assign(std::istreambuf_iterator<char>(file), {});
            if (file.bad())
                throw UsageError("cannot read layout file " + path.string());
            options.layoutName =
                (path.extension() == ".plw" ? path.stem() : path.filename()).string();
            options.sendLayout = true;
        } else if (arg == "--save-layouts") {
            options.saveLayoutsDir = std::string(takeValue());
            if (!std::filesystem::is_directory(options.saveLayoutsDir))
                throw UsageError("--save-layouts needs a folder, not '" + options.saveLayoutsDir +
                                 "'");
        } else if (arg == "--rate") {
            options.recordsPerSecond = ParseNumber(arg, takeValue());
        } else if (arg == "--listen-for") {
            options.listenSeconds = ParseNumber(arg, takeValue());
        } else if (arg == "--repeat") {
            const std::string_view text = takeValue();
            unsigned repeat = 0;
            const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), repeat);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
                repeat == 0)
                throw UsageError("--repeat needs a whole number of at least 1, not '" +
                                 std::string(text) + "'");
            options.repeat = repeat;
        } else if (arg.starts_with("-") && arg.size() > 1) {
            throw UsageError("unknown option " + std::string(arg));
        } else if (!haveEndpoint && !options.browse) {
            // HOST:PORT, or the name under which the bridge is advertised.
            if (arg.find(':') == std::string_view::npos)
                options.serviceName = arg;
            else
                options.endpoint = ParseEndpoint(arg);
            haveEndpoint = true;
        } else {
            sources.push_back({false, std::string(arg)});
        }
    }
    if (options.help || options.version)
        return options;
    if (options.browse) {
        if (haveEndpoint || !sources.empty())
            throw UsageError("--browse takes no HOST:PORT, NAME or records");
        return options;
    }
    if (!haveEndpoint)
        throw UsageError("missing HOST:PORT or NAME");

    for (const Source& source : sources) {
        if (!source.isFile) {
            options.records.push_back(ParseRecord(source.text, options.raw));
            continue;
        }
        std::ifstream file(source.text);
        if (!file)
            throw UsageError("cannot open record file " + source.text);
        for (Record& record : ParseRecordFile(file, source.text, options.raw))
            options.records.push_back(std::move(record));
    }
    return options;
}

std::string UsageText() {
    return R"(usage: pallorwind-appsim [OPTIONS] HOST:PORT|NAME [RECORD...]
       pallorwind-appsim --browse
       pallorwind-appsim --help | --version

Plays the phone app's part: connects to the bridge at HOST:PORT, or to the
bridge advertised on the network as NAME (found through DNS-SD as the app
finds it; --browse lists the names), sends the records and prints every MIDI message the bridge sends
back, with its arrival time relative to the connect.

  --browse           list the bridges on the network (name, host, address
                     and port) for two seconds, then exit
  RECORD             hex bytes such as 90:3C:7F (note on, channel 1, key 60,
                     velocity 127); one to three bytes, padded with 00 to three
  --file PATH        send the records in PATH (one per line, '#' comments);
                     may be given several times, mixed with RECORDs in order
  --raw              send each record's bytes exactly as given, unpadded and
                     of any length (to split or misalign records)
  --rate N           records per second (default 0: as fast as possible,
                     all in one write)
  --repeat N         send the whole list N times (default 1)
  --listen-for SECS  keep printing what arrives for SECS seconds after the
                     last record (default 1)
  --send-layout FILE after the records, send the layout FILE as the app does
                     (marker, then length, content and the name without .plw)
  --save-layouts DIR store each layout the bridge sends in DIR (under a name
                     made safe) instead of printing its bytes as MIDI
  -h, --help         this text
  --version          the version

Exit status: 0 done, 1 connection failed or lost while sending (or NAME not
found, or no DNS-SD service to ask), 2 bad arguments.
)";
}

} // namespace pallorwind::appsim
