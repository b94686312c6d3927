// Saves received layouts off the event loop, one after another, and reports
// each one back on it.
#pragma once

#include "osx/LayoutFiles.h"
#include "platform/app/MainThreadPoster.h"
#include "protocol/LayoutTransfer.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace pallorwind::osx {

class LayoutSaver {
public:
    // Runs on the thread that made the saver, once per layout, in order:
    // where it went (or why not), the folder chosen and the name the app sent.
    using Done = std::function<void(const SavedLayout& saved, const std::string& folder,
                                    const std::string& name)>;

    explicit LayoutSaver(Done done);
    // Finishes the saves already asked for; their reports are not made.
    ~LayoutSaver();
    LayoutSaver(const LayoutSaver&) = delete;
    LayoutSaver& operator=(const LayoutSaver&) = delete;

    // Saves `layout` in LayoutFolder(desktop, home).
    void Save(const std::string& desktop, const std::string& home, protocol::Layout layout);

private:
    struct Job {
        std::string desktop, home;
        protocol::Layout layout;
    };
    void Run();

    Done m_done;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs; // guarded by m_lock
    bool m_stop = false;    // guarded by m_lock
    platform::MainThreadPoster m_poster;
    std::thread m_thread; // last: starts once everything above exists
};

} // namespace pallorwind::osx
