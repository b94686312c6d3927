#include "tools/appsim/AppConnection.h"
#include "tools/appsim/AppSim.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <thread>

namespace pallorwind::appsim {
namespace {

using namespace std::chrono_literals;

// The bridge's side, as bare as it gets: one listening socket on loopback.
class Listener {
public:
    Listener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(m_fd, 5) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            ADD_FAILURE() << "cannot listen on loopback";
        m_port = ntohs(address.sin_port);
    }
    ~Listener() {
        if (m_client >= 0)
            ::close(m_client);
        ::close(m_fd);
    }
    std::uint16_t Port() const { return m_port; }
    void Accept() { m_client = ::accept(m_fd, nullptr, nullptr); }
    void Write(std::vector<std::uint8_t> bytes) {
        ASSERT_EQ(::write(m_client, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    std::vector<std::uint8_t> Read(std::size_t count) {
        std::vector<std::uint8_t> bytes(count);
        std::size_t got = 0;
        while (got < count) {
            const ssize_t n = ::read(m_client, bytes.data() + got, count - got);
            if (n <= 0)
                break;
            got += std::size_t(n);
        }
        bytes.resize(got);
        return bytes;
    }
    void CloseClient() {
        ::close(m_client);
        m_client = -1;
    }

private:
    int m_fd = -1;
    int m_client = -1;
    std::uint16_t m_port = 0;
};

TEST(AppConnection, SendsRecordsAndSplitsWhatComesBack) {
    Listener bridge;
    AppConnection app = AppConnection::Connect("127.0.0.1", bridge.Port());
    bridge.Accept();

    app.SendRecord(0x90, 0x3C, 0x7F);
    app.Send({0xC0, 0x05});
    EXPECT_EQ(bridge.Read(5), (std::vector<std::uint8_t>{0x90, 0x3C, 0x7F, 0xC0, 0x05}));

    // A note-on split across two writes, then a program change and a clock.
    bridge.Write({0x90, 0x3C});
    ASSERT_TRUE(app.ReceiveBytes(2, 2s));
    EXPECT_TRUE(app.Messages().empty());
    EXPECT_EQ(app.PendingBytes(), 2u);
    bridge.Write({0x7F, 0xC1, 0x09, 0xF8});
    ASSERT_TRUE(app.ReceiveMessages(3, 2s));
    const auto messages = app.TakeMessages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].Word(), 0x7F3C90u);
    EXPECT_EQ(messages[1].Word(), 0x09C1u);
    EXPECT_EQ(messages[2].Word(), 0xF8u);
    EXPECT_GE(messages[0].arrival, app.ConnectedAt());
    EXPECT_EQ(app.Received().size(), 6u);
    EXPECT_GE(app.Reads().size(), 2u);

    bridge.CloseClient();
    EXPECT_TRUE(app.ReceiveUntilClosed(2s));
    EXPECT_TRUE(app.PeerClosed());
    EXPECT_FALSE(app.ReceiveBytes(7, 1s));
}

TEST(AppConnection, ConnectFailureNamesTheAddress) {
    std::uint16_t port;
    {
        Listener closed; // take a free port, then let it go
        port = closed.Port();
    }
    try {
        AppConnection::Connect("127.0.0.1", port);
        FAIL() << "connected to a closed port";
    } catch (const ConnectionError& error) {
        EXPECT_NE(std::string(error.what()).find("127.0.0.1:" + std::to_string(port)),
                  std::string::npos)
            << error.what();
    }
}

TEST(AppSim, PrintsEachMessageWithItsTime) {
    Listener bridge;
    std::vector<std::uint8_t> received;
    std::thread side([&] {
        bridge.Accept();
        received = bridge.Read(6);
        bridge.Write({0x80, 0x3C, 0x00, 0xF8});
        bridge.CloseClient();
    });
    std::ostringstream out, err;
    const int status = AppSimMain({"--listen-for", "5", "--repeat", "3", "--raw",
                                   "127.0.0.1:" + std::to_string(bridge.Port()), "90:3C"},
                                  out, err);
    side.join();
    EXPECT_EQ(status, 0) << err.str();
    // Raw records go out unpadded, repeated.
    EXPECT_EQ(received, (std::vector<std::uint8_t>{0x90, 0x3C, 0x90, 0x3C, 0x90, 0x3C}));
    std::istringstream lines(out.str());
    std::vector<std::string> rest;
    for (std::string line; std::getline(lines, line);) {
        // "+TIME ms  BYTES  MEANING", the time not before the connect.
        std::size_t used = 0;
        EXPECT_EQ(line[0], '+') << line;
        EXPECT_GE(std::stod(line.substr(1), &used), 0.0);
        EXPECT_EQ(line.substr(1 + used, 5), " ms  ") << line;
        rest.push_back(line.substr(1 + used + 5));
    }
    EXPECT_EQ(rest, (std::vector<std::string>{"80 3C 00  note-off ch1 60 0", "F8        clock"}));
    EXPECT_NE(err.str().find("closed"), std::string::npos) << err.str();
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST(AppSim, SendsALayoutAsTheAppDoesAndSavesTheBridgesLayoutsOnlyInsideTheFolder) {
    namespace fs = std::filesystem;
    char base[] = "/tmp/pwtest-appsim-XXXXXX";
    ASSERT_TRUE(::mkdtemp(base));
    const fs::path saveDir = fs::path(base) / "saved";
    fs::create_directory(saveDir);
    const std::string content("kit\xFF\x00\xFF\xFF\xFF"
                              "end",
                              11);
    std::ofstream(fs::path(base) / "My Kit.plw", std::ios::binary) << content;

    Listener bridge;
    std::vector<std::uint8_t> received;
    const std::string sent =
        "\xFF\xFF\xFF" + std::string("11") + std::string(14, '\0') + content + "My Kit";
    auto bytes = [](const std::string& text) {
        return std::vector<std::uint8_t>(text.begin(), text.end());
    };
    std::thread side([&] {
        bridge.Accept();
        received = bridge.Read(sent.size());
        // A note, a layout whose name tries to leave the folder, a System
        // Reset and a clock after the layout's burst, and a second layout.
        bridge.Write({0x90, 0x3C, 0x7F});
        bridge.Write(
            bytes("\xFF\xFF\xFF" + std::string("3") + std::string(15, '\0') + "abc../../evil.plw"));
        std::this_thread::sleep_for(300ms);
        bridge.Write({0xFF, 0xF8});
        std::this_thread::sleep_for(300ms);
        bridge.Write(bytes("\xFF\xFF\xFF" + std::string("2") + std::string(15, '\0') + "xy.."));
        std::this_thread::sleep_for(300ms);
        bridge.CloseClient();
    });
    std::ostringstream out, err;
    const int status = AppSimMain({"--listen-for", "5", "--send-layout",
                                   std::string(base) + "/My Kit.plw", "--save-layouts",
                                   saveDir.string(), "127.0.0.1:" + std::to_string(bridge.Port())},
                                  out, err);
    side.join();
    EXPECT_EQ(status, 0) << err.str();
    EXPECT_EQ(received, bytes(sent));
    EXPECT_EQ(ReadFile(saveDir / "_.._evil.plw"), "abc");
    EXPECT_EQ(ReadFile(saveDir / "Layout.plw"), "xy");
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(base))
        names.insert(fs::relative(entry.path(), base).string());
    EXPECT_EQ(names, (std::set<std::string>{"My Kit.plw", "saved", "saved/_.._evil.plw",
                                            "saved/Layout.plw"}));
    // MIDI around the layouts is printed as before.
    const std::string printed = out.str();
    EXPECT_NE(printed.find("90 3C 7F"), std::string::npos) << printed;
    EXPECT_NE(printed.find("FF        "), std::string::npos) << printed;
    EXPECT_NE(printed.find("F8        clock"), std::string::npos) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 3) << printed;
    fs::remove_all(base);
}

TEST(AppSim, ExitStatusTellsBadArgumentsFromConnectionFailure) {
    std::ostringstream out, err;
    EXPECT_EQ(AppSimMain({}, out, err), 2);
    EXPECT_NE(err.str().find("HOST:PORT"), std::string::npos);
    std::uint16_t port;
    {
        Listener closed;
        port = closed.Port();
    }
    EXPECT_EQ(AppSimMain({"127.0.0.1:" + std::to_string(port), "90:3C:7F"}, out, err), 1);
    EXPECT_NE(err.str().find("cannot connect"), std::string::npos) << err.str();
}

} // namespace
} // namespace pallorwind::appsim
