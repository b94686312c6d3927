#include "platform/midi/jack/JackSupport.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <thread>
#include <utility>

namespace pallorwind::midi::jack {
namespace {

struct LogRouter {
    std::mutex lock;
    std::vector<LogListener*> listeners; // the newest last
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> held;
};
LogRouter& Router() {
    static LogRouter router;
    return router;
}
thread_local bool t_quiet = false;

void RouteError(const char* text) {
    if (t_quiet)
        return;
    LogRouter& router = Router();
    std::lock_guard guard(router.lock);
    if (router.listeners.empty() || router.held.size() >= 32)
        return;
    router.held.emplace_back(std::chrono::steady_clock::now(), std::string("JACK: ") + text);
    router.listeners.back()->WakeForLog();
}
void DropInfo(const char*) {
}

} // namespace

void Semaphore::Wait() {
    while (sem_wait(&m_sem) != 0 && errno == EINTR) {
    }
}

bool Semaphore::WaitFor(std::chrono::nanoseconds timeout) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const long long ns = deadline.tv_nsec + timeout.count();
    deadline.tv_sec += time_t(ns / 1'000'000'000);
    deadline.tv_nsec = long(ns % 1'000'000'000);
    for (;;) {
        if (sem_timedwait(&m_sem, &deadline) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

void AddLogListener(LogListener* listener) {
    static std::once_flag routed;
    std::call_once(routed, [] {
        jack_set_error_function(&RouteError);
        jack_set_info_function(&DropInfo);
    });
    std::lock_guard guard(Router().lock);
    Router().listeners.push_back(listener);
}

void RemoveLogListener(LogListener* listener) {
    std::lock_guard guard(Router().lock);
    auto& listeners = Router().listeners;
    listeners.erase(std::find(listeners.begin(), listeners.end(), listener));
    if (listeners.empty())
        Router().held.clear();
}

bool ErrorsHeld() {
    std::lock_guard guard(Router().lock);
    return !Router().held.empty();
}

void DropHeldErrors() {
    std::lock_guard guard(Router().lock);
    Router().held.clear();
}

std::vector<std::string> TakeHeldErrors(LogListener* listener, bool running) {
    std::vector<std::string> lines;
    std::lock_guard guard(Router().lock);
    auto& held = Router().held;
    if (held.empty() || Router().listeners.back() != listener)
        return lines;
    if (!running) {
        held.clear();
        return lines;
    }
    const auto due = std::chrono::steady_clock::now() - kHoldErrors;
    while (!held.empty() && held.front().first <= due) {
        lines.push_back(std::move(held.front().second));
        held.erase(held.begin());
    }
    return lines;
}

Quiet::Quiet() {
    t_quiet = true;
}
Quiet::~Quiet() {
    t_quiet = false;
}

jack_client_t* OpenClient(const std::string& name) {
    Quiet quiet;
    jack_status_t status{};
    return jack_client_open(name.c_str(), JackNoStartServer, &status);
}

std::shared_ptr<std::atomic<bool>> CloseGoneClientLater(jack_client_t* gone) {
    auto closed = std::make_shared<std::atomic<bool>>(false);
    std::thread([gone, closed] {
        std::this_thread::sleep_for(kHoldErrors);
        Quiet quiet;
        jack_client_close(gone);
        closed->store(true, std::memory_order_release);
    }).detach();
    return closed;
}

} // namespace pallorwind::midi::jack
