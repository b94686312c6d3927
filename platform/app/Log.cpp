#include "platform/app/Log.h"

#include <cstdarg>
#include <cstdio>
#include <utility>
#include <vector>

namespace pallorwind::platform {
namespace {

struct State {
    std::mutex lock;
    std::string prefix = "pallorwind: ";
    Log::Sink sink;
};

State& Shared() {
    static State state;
    return state;
}

void Write(bool prefixed, std::string_view text) {
    State& s = Shared();
    std::lock_guard guard(s.lock);
    std::string line;
    line.reserve(s.prefix.size() + text.size() + 1);
    if (prefixed)
        line += s.prefix;
    line += text;
    if (s.sink) {
        s.sink(line);
        return;
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

std::string Format(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int size = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (size <= 0)
        return {};
    std::vector<char> text(std::size_t(size) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    return std::string(text.data(), std::size_t(size));
}

} // namespace

void Log::SetPrefix(std::string prefix) {
    std::lock_guard guard(Shared().lock);
    Shared().prefix = std::move(prefix);
}

Log::Sink Log::SetSink(Sink sink) {
    std::lock_guard guard(Shared().lock);
    std::swap(Shared().sink, sink);
    return sink;
}

void Log::Line(std::string_view text) {
    Write(true, text);
}

void Log::Linef(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    Write(true, text);
}

void Log::Raw(std::string_view text) {
    Write(false, text);
}

void Log::Rawf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    Write(false, text);
}

bool LogOnce::Claim() {
    std::lock_guard guard(m_lock);
    if (m_said)
        return false;
    m_said = true;
    return true;
}

bool LogOnce::Line(std::string_view text) {
    if (!Claim())
        return false;
    Log::Line(text);
    return true;
}

bool LogOnce::Linef(const char* format, ...) {
    if (!Claim())
        return false;
    va_list args;
    va_start(args, format);
    const std::string text = Format(format, args);
    va_end(args);
    Log::Line(text);
    return true;
}

void LogOnce::Reset() {
    std::lock_guard guard(m_lock);
    m_said = false;
}

bool LogOnce::Said() const {
    std::lock_guard guard(m_lock);
    return m_said;
}

bool LogRateLimited::Line(std::string_view text) {
    std::string line;
    {
        std::lock_guard guard(m_lock);
        const auto now = std::chrono::steady_clock::now();
        if (m_any && now - m_last < m_interval) {
            ++m_held;
            return false;
        }
        m_any = true;
        m_last = now;
        line = text;
        if (m_held > 0)
            line += " (and " + std::to_string(m_held) + " more)";
        m_held = 0;
    }
    Log::Line(line);
    return true;
}

} // namespace pallorwind::platform
