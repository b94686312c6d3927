#include "osx/LayoutSaver.h"

#include <pthread.h>
#include <utility>

namespace pallorwind::osx {

LayoutSaver::LayoutSaver(Done done) : m_done(std::move(done)), m_thread([this] { Run(); }) {
}

LayoutSaver::~LayoutSaver() {
    {
        std::lock_guard lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void LayoutSaver::Save(const std::string& desktop, const std::string& home,
                       protocol::Layout layout) {
    {
        std::lock_guard lock(m_lock);
        m_jobs.push_back({desktop, home, std::move(layout)});
    }
    m_wake.notify_one();
}

void LayoutSaver::Run() {
    pthread_setname_np(pthread_self(), "layout-save"); // as top -H shows it
    std::unique_lock lock(m_lock);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stop || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        const std::string folder = LayoutFolder(job.desktop, job.home);
        SavedLayout saved = SaveLayout(folder, job.layout.name, job.layout.content);
        m_poster.Post([this, saved = std::move(saved), folder, name = job.layout.name] {
            if (m_done)
                m_done(saved, folder, name);
        });
        lock.lock();
    }
}

} // namespace pallorwind::osx
