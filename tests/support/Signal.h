// Sends a signal to a program a test started, and to nothing else: a process
// that has already ended has no id, and kill(0, ...) would reach the whole
// process group, the test runner included.
#pragma once

#include <QProcess>

#include <csignal>

namespace pallorwind::test {

inline bool Signal(const QProcess& process, int signal) {
    const qint64 pid = process.processId();
    return pid > 0 && ::kill(pid_t(pid), signal) == 0;
}

} // namespace pallorwind::test
