// How often this process's threads of one name have gone to sleep and woken
// again (their voluntary context switches, from /proc): a count that a busy
// machine does not change, unlike a time.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace pallorwind::test {

// Summed over the live threads called `name` (as /proc/self/task/*/comm has it).
inline long WakeUpsOf(const std::string& name) {
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm != name)
            continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("voluntary_ctxt_switches:"))
                total += std::stol(line.substr(24));
    }
    return total;
}

} // namespace pallorwind::test
