// Command line of pallorwind-appsim, and the text forms of records and
// addresses it accepts.
#pragma once

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pallorwind::appsim {

// A mistake in the command line or in a record file; what() says what and where.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bytes sent to the bridge in one step (normally one three-byte record).
using Record = std::vector<std::uint8_t>;

// "90:3C:7F": one to three hex bytes of one or two digits each, separated by
// ':'. Padded with zeros to three bytes unless `raw`, in which case any number
// of bytes (at least one) is accepted and sent as given.
Record ParseRecord(std::string_view text, bool raw);

// One record per line in the syntax of ParseRecord; '#' starts a comment,
// blank lines are skipped. `name` is used in error messages ("name:line: ...").
std::vector<Record> ParseRecordFile(std::istream& in, std::string_view name, bool raw);

struct Endpoint {
    std::string host;
    std::uint16_t port = 0;
};

// "HOST:PORT", "[IPV6]:PORT"; the port is 1-65535.
Endpoint ParseEndpoint(std::string_view text);

struct Options {
    Endpoint endpoint;
    // A bridge's DNS-SD name, given instead of HOST:PORT (an argument without ':').
    std::string serviceName;
    // List the bridges on the network instead of connecting.
    bool browse = false;
    // Records from the command line and from --file, in the order given.
    std::vector<Record> records;
    bool raw = false;
    double recordsPerSecond = 0; // 0: as fast as possible
    unsigned repeat = 1;
    double listenSeconds = 1.0; // after the last record is sent
    // --send-layout: a layout file sent after the records as the app sends
    // one (its name without the ".plw" ending), read when parsing.
    bool sendLayout = false;
    std::string layoutName;
    std::string layoutContent;
    // --save-layouts: the folder where layouts the bridge sends are stored;
    // empty: the bridge's bytes are all taken as MIDI.
    std::string saveLayoutsDir;
    bool help = false;
    bool version = false;
};

// `args` without the program name. Options take their value as the next
// argument or after '=' (--rate=100). --file reads the file at once.
Options ParseCommandLine(const std::vector<std::string>& args);

std::string UsageText();

} // namespace pallorwind::appsim
