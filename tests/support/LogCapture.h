// Catches the lines a test's code writes to the program's log, without the
// program's prefix, while it lives; the log goes back where it went after.
#pragma once

#include "platform/app/Log.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace pallorwind::test {

class LogCapture {
public:
    LogCapture() {
        m_previous = platform::Log::SetSink([this](std::string_view line) {
            constexpr std::string_view kPrefix = "pallorwind: ";
            if (line.starts_with(kPrefix))
                line.remove_prefix(kPrefix.size());
            std::lock_guard guard(m_lock);
            m_lines.emplace_back(line);
        });
    }
    ~LogCapture() { platform::Log::SetSink(std::move(m_previous)); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard guard(m_lock);
        return m_lines;
    }
    // How often `line` was written, whole.
    long Count(const std::string& line) const {
        std::lock_guard guard(m_lock);
        return long(std::count(m_lines.begin(), m_lines.end(), line));
    }
    // How many lines start with `start`.
    long Starting(std::string_view start) const {
        std::lock_guard guard(m_lock);
        return long(std::count_if(m_lines.begin(), m_lines.end(),
                                  [&](const std::string& l) { return l.starts_with(start); }));
    }
    // The lines caught so far as the log wrote them, each ending in a newline.
    std::string Text() const {
        std::lock_guard guard(m_lock);
        std::string text;
        for (const std::string& line : m_lines)
            text += line + '\n';
        return text;
    }
    // Forgets the lines caught so far.
    void Clear() {
        std::lock_guard guard(m_lock);
        m_lines.clear();
    }
    std::string Last() const {
        std::lock_guard guard(m_lock);
        return m_lines.empty() ? std::string() : m_lines.back();
    }

private:
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
    platform::Log::Sink m_previous;
};

} // namespace pallorwind::test
