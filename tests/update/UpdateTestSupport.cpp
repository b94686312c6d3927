#include "UpdateTestSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace updatetest {

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int pipeFds[2];
    int inFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    if (::pipe2(inFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    // Standard input stays open as long as this process holds m_in.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, inFds[0], 0);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e)
        envStrings.emplace_back(*e);
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = posix_spawnp(&m_pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    ::close(inFds[0]);
    m_out = pipeFds[0];
    m_in = inFds[1];
    if (rc != 0) {
        m_pid = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

Child::~Child() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0)
        ::close(m_out);
    if (m_in >= 0)
        ::close(m_in);
}

std::string Child::ReadLine() {
    std::string line;
    char c;
    while (::read(m_out, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

int Child::Wait(std::string& output) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(m_out, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0)
            output.append(buffer, static_cast<std::size_t>(n));
    }
    int status = 0;
    const pid_t pid = m_pid;
    m_pid = -1;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

std::vector<std::string> ServerArgs(const fs::path& root, const ServerOptions& options) {
    std::vector<std::string> args = {"python3", PALLORWIND_UPDATE_SERVER, root.string(), "--bind",
                                     options.address};
    if (!options.cert.empty())
        args.insert(args.end(), {"--tls", options.cert.string(), options.key.string()});
    if (!options.log.empty())
        args.insert(args.end(), {"--log", options.log.string()});
    return args;
}

} // namespace

UpdateServer::UpdateServer(const fs::path& root, const ServerOptions& options)
    : m_options(options), m_child(ServerArgs(root, options)) {
    const std::string line = m_child.ReadLine();
    if (line.rfind("PORT ", 0) != 0)
        throw std::runtime_error("update_server.py did not start: " + line);
    m_port = std::stoi(line.substr(5));
}

std::string UpdateServer::Url(const std::string& mode, const std::string& folder) const {
    return std::string(m_options.cert.empty() ? "http" : "https") + "://" + m_options.address +
           ":" + std::to_string(m_port) + "/" + mode + "/" + folder + "/";
}

std::vector<std::string> UpdateServer::Log() const {
    std::vector<std::string> lines;
    std::ifstream in(m_options.log);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool RawGet(const std::string& address, int port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    bool answered = fd >= 0 && ::inet_pton(AF_INET, address.c_str(), &to.sin_addr) == 1 &&
                    ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    const std::string request = "GET " + path + " HTTP/1.0\r\nUser-Agent: AutoUpdateAgent\r\n\r\n";
    answered = answered && ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(request.size());
    char reply[64];
    answered = answered && ::recv(fd, reply, sizeof reply, 0) > 0;
    if (fd >= 0)
        ::close(fd);
    return answered;
}

std::string FakeExecutable(const std::string& tag, const std::string& version) {
    std::string text = "#!/bin/sh\necho " + tag + "\nexit 0\n";
    if (!version.empty())
        text += std::string("PALLORWIND-FILE-VERSION:") + version + '\0' + "\n";
    return text;
}

std::string RunExecutable(const fs::path& path) {
    std::string output;
    try {
        Child child({path.string()});
        if (child.Wait(output) != 0)
            return "";
    } catch (const std::runtime_error&) {
        return "";
    }
    while (!output.empty() && output.back() == '\n')
        output.pop_back();
    return output;
}

Installation::Installation(const std::string& version, const std::string& tag)
    : folder(dir / "install"), exe(folder / "pallorwind-win"), backup(folder / "OldExecutable.bak"),
      temp(dir / "tmp") {
    fs::create_directories(folder);
    fs::create_directories(temp);
    ziptest::WriteFile(exe, FakeExecutable(tag, version));
    fs::permissions(exe, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

std::vector<std::string> Installation::Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool Installation::TempEmpty() const {
    return fs::is_empty(temp);
}

} // namespace updatetest
