#include "tools/appsim/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace pallorwind::appsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(CommandLine, RecordsArePaddedToThreeBytesUnlessRaw) {
    EXPECT_EQ(ParseRecord("90:3C:7F", false), (Bytes{0x90, 0x3C, 0x7F}));
    EXPECT_EQ(ParseRecord("c0:5", false), (Bytes{0xC0, 0x05, 0x00}));
    EXPECT_EQ(ParseRecord("F8", false), (Bytes{0xF8, 0x00, 0x00}));
    EXPECT_EQ(ParseRecord("90:3C", true), (Bytes{0x90, 0x3C}));
    EXPECT_EQ(ParseRecord("90:3C:7F:80:3C", true), (Bytes{0x90, 0x3C, 0x7F, 0x80, 0x3C}));
    for (const char* bad : {"", "90:", ":90", "90::7F", "100", "9G", "90:3C:7F:00", "-1", "0x90"})
        EXPECT_THROW(ParseRecord(bad, false), UsageError) << bad;
}

TEST(CommandLine, RecordFileSkipsCommentsAndNamesTheBadLine) {
    std::istringstream file("# a chord\n90:3C:7F\n\n  90:40:7F   # E\n\t80:3C\n");
    EXPECT_EQ(ParseRecordFile(file, "chord.txt", false),
              (std::vector<Bytes>{{0x90, 0x3C, 0x7F}, {0x90, 0x40, 0x7F}, {0x80, 0x3C, 0x00}}));

    std::istringstream bad("90:3C:7F\n# fine\n90:zz\n");
    try {
        ParseRecordFile(bad, "bad.txt", false);
        FAIL() << "no error";
    } catch (const UsageError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("bad.txt:3: ", 0), 0u) << error.what();
    }
}

TEST(CommandLine, Endpoints) {
    Endpoint e = ParseEndpoint("192.168.1.20:5004");
    EXPECT_EQ(e.host, "192.168.1.20");
    EXPECT_EQ(e.port, 5004);
    e = ParseEndpoint("[::1]:65535");
    EXPECT_EQ(e.host, "::1");
    EXPECT_EQ(e.port, 65535);
    for (const char* bad : {"localhost", "localhost:", ":80", "host:0", "host:65536", "host:8x",
                            "::1:80", "[::1:80", "[]:80"})
        EXPECT_THROW(ParseEndpoint(bad), UsageError) << bad;
}

TEST(CommandLine, ABridgeByNameOrAllOfThem) {
    Options o = ParseCommandLine({"Studio PC", "90:3C"});
    EXPECT_EQ(o.serviceName, "Studio PC");
    EXPECT_EQ(o.endpoint.port, 0);
    EXPECT_EQ(o.records, (std::vector<Bytes>{{0x90, 0x3C, 0}}));
    EXPECT_TRUE(ParseCommandLine({"--browse"}).browse);
    EXPECT_THROW(ParseCommandLine({"--browse", "Studio PC"}), UsageError);
    EXPECT_THROW(ParseCommandLine({"--browse", "90:3C"}), UsageError);
}

TEST(CommandLine, OptionsAndRecordsInOrder) {
    const std::string path = testing::TempDir() + "appsim-records.txt";
    std::ofstream(path) << "B0:07:64\n";
    const Options o = ParseCommandLine({"--rate", "250", "--repeat=3", "localhost:5004", "90:3C",
                                        "--file", path, "--listen-for=0.5", "F8"});
    std::remove(path.c_str());
    EXPECT_EQ(o.endpoint.host, "localhost");
    EXPECT_EQ(o.endpoint.port, 5004);
    EXPECT_DOUBLE_EQ(o.recordsPerSecond, 250);
    EXPECT_EQ(o.repeat, 3u);
    EXPECT_DOUBLE_EQ(o.listenSeconds, 0.5);
    EXPECT_FALSE(o.raw);
    EXPECT_EQ(o.records, (std::vector<Bytes>{{0x90, 0x3C, 0}, {0xB0, 0x07, 0x64}, {0xF8, 0, 0}}));

    // --raw applies to every record, wherever it stands.
    EXPECT_EQ(ParseCommandLine({"h:1", "90:3C", "--raw"}).records,
              (std::vector<Bytes>{{0x90, 0x3C}}));
    EXPECT_TRUE(ParseCommandLine({"--help"}).help);
}

TEST(CommandLine, RejectsMistakes) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"90:3C:7F"},
        {"h:1", "--rate"},
        {"h:1", "--rate", "-5"},
        {"h:1", "--rate", "fast"},
        {"h:1", "--listen-for", "1s"},
        {"h:1", "--repeat", "0"},
        {"h:1", "--repeat", "1.5"},
        {"h:1", "--raw=yes"},
        {"h:1", "--bogus"},
        {"h:1", "--file", "/nonexistent/records.txt"},
        {"h:1", "90:3C:7F:00"},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_THROW(ParseCommandLine(args), UsageError) << joined;
    }
}

} // namespace
} // namespace pallorwind::appsim
