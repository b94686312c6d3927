// Uses up a test process's file descriptors, to see what the code under test
// does when the system has none left.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace pallorwind::test {

// Uses up this process's descriptors (under a lowered limit) until freed.
class DescriptorFill {
public:
    DescriptorFill() {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lower = m_saved;
        lower.rlim_cur = std::min<rlim_t>(m_saved.rlim_cur, 1024);
        ::setrlimit(RLIMIT_NOFILE, &lower);
        m_fds.reserve(lower.rlim_cur);
        const int base = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (base >= 0)
            m_fds.push_back(base);
        for (int fd; base >= 0 && (fd = ::fcntl(base, F_DUPFD_CLOEXEC, 0)) >= 0;)
            m_fds.push_back(fd);
        m_error = errno;
    }
    ~DescriptorFill() { Free(); }
    void Free() {
        for (int fd : m_fds)
            ::close(fd);
        m_fds.clear();
        ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    int Error() const { return m_error; }

private:
    rlimit m_saved{};
    std::vector<int> m_fds;
    int m_error = 0;
};

} // namespace pallorwind::test
