// The one log of a program: every line it writes for its user goes through
// here, to one sink (standard error unless a test or a mode says otherwise),
// most of them behind the program's prefix ("pallorwind: "). Any thread;
// lines never interleave.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace pallorwind::platform {

class Log {
public:
    using Sink = std::function<void(std::string_view line)>; // a line without its newline

    // "pallorwind: " unless set otherwise.
    static void SetPrefix(std::string prefix);
    // Null: standard error. Returns the sink it replaces.
    static Sink SetSink(Sink sink);

    // One line behind the prefix.
    static void Line(std::string_view text);
    // As printf, behind the prefix.
    static void Linef(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // One line as it stands, without the prefix (lines whose wording is fixed
    // elsewhere, and what a headless message box says).
    static void Raw(std::string_view text);
    static void Rawf(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

// A line said once, until Reset(): for a run of one kind of event (a run of
// refused messages, of failed accepts), one line for the run. Any thread.
class LogOnce {
public:
    // True when this call said it.
    bool Line(std::string_view text);
    bool Linef(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The run is over: the next event is said again.
    void Reset();
    bool Said() const;

private:
    bool Claim();
    mutable std::mutex m_lock;
    bool m_said = false;
};

// At most one line per `interval`; what is held back meanwhile is counted
// and told with the next line said (" (and N more)"). Any thread.
class LogRateLimited {
public:
    explicit LogRateLimited(std::chrono::milliseconds interval) : m_interval(interval) {}
    // True when this call said it.
    bool Line(std::string_view text);

private:
    std::mutex m_lock;
    std::chrono::milliseconds m_interval;
    std::chrono::steady_clock::time_point m_last{};
    bool m_any = false;
    std::uint64_t m_held = 0;
};

} // namespace pallorwind::platform
