#include "platform/app/QuitOnSignal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace pallorwind::platform {

namespace {
int g_pipe[2] = {-1, -1};

void OnSignal(int signal) {
    const char byte = char(signal);
    [[maybe_unused]] const auto n = ::write(g_pipe[1], &byte, 1);
}
} // namespace

void QuitOnSignal(std::function<void()> exitSequence) {
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    // Owned by the application object, which deletes it at the end.
    auto* notifier =
        new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [notifier, exitSequence] {
        char byte;
        while (::read(g_pipe[0], &byte, 1) > 0) {
        }
        notifier->setEnabled(false);
        exitSequence();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

} // namespace pallorwind::platform
