// The pause before trying again after a failure: `first`, doubling with each
// further failure up to `longest`, and back to `first` after a success.
#pragma once

#include <algorithm>
#include <chrono>

namespace pallorwind::platform {

class Backoff {
public:
    using Duration = std::chrono::milliseconds;

    constexpr Backoff(Duration first, Duration longest)
        : m_first(first), m_longest(std::max(first, longest)) {}

    // The pause before the next attempt; each call doubles the one after.
    Duration Next() {
        const Duration pause = m_next.count() == 0 ? m_first : m_next;
        m_next = std::min(pause * 2, m_longest);
        return pause;
    }
    // After a success: the next failure pauses `first` again.
    void Reset() { m_next = Duration(0); }

    Duration First() const { return m_first; }
    Duration Longest() const { return m_longest; }

private:
    Duration m_first;
    Duration m_longest;
    Duration m_next{0};
};

} // namespace pallorwind::platform
