#include "platform/midi/MidiOutThread.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <utility>
#include <vector>

namespace pallorwind::midi {
namespace {
// Messages taken from the queue at once: few enough that the queue's level
// stays a fair measure of what is still to play.
constexpr std::size_t kBatch = 64;
} // namespace

struct MidiOutThread::State {
    State(Post p, std::function<void(bool)> level, Refused refused, std::size_t high,
          std::size_t low)
        : post(std::move(p)), onLevel(std::move(level)), onRefused(std::move(refused)),
          highWater(high), lowWater(low) {}

    const Post post;
    const std::function<void(bool)> onLevel;
    const Refused onRefused;
    const std::size_t highWater;
    const std::size_t lowWater;

    // Taken by a feeder for the whole of Enqueue and by the owner to hand
    // the thread a job or stop it: one of them at a time may find the thread
    // quiet and play on the device. Taken before `lock`, never after it.
    std::mutex feed;
    std::mutex lock;
    std::condition_variable wake;  // work for the thread
    std::condition_variable ended; // the thread is done
    std::deque<std::uint32_t> words;
    // A job runs once `taken` has reached the number of messages that were
    // queued before it.
    std::deque<std::pair<std::uint64_t, Job>> jobs;
    std::uint64_t queued = 0; // messages ever queued
    std::uint64_t taken = 0;  // messages ever taken off the queue
    bool full = false;        // reached the high-water mark, not yet drained
    bool idle = false;        // the thread waits for work
    bool stopping = false;
    bool finished = false;
    bool abandoned = false; // the owner stopped waiting: post nothing more

    // The thread has nothing to do and is away from the device: no job, no
    // batch, no message waiting. Set by the thread, under `lock`, as it goes
    // to sleep; cleared, under `feed` and `lock`, by whoever hands it work.
    // So while a holder of `feed` sees it set, the device is that holder's
    // to play on.
    std::atomic<bool> quiet{false};

    // The thread's device; the holder of `feed`'s while `quiet`.
    std::unique_ptr<MidiOutDevice> out;
    // The last message played was refused; like `out`, the holder of
    // `feed`'s while `quiet`.
    bool refusing = false;
};

MidiOutThread::MidiOutThread(Post post, std::function<void(bool)> onLevel, Refused onRefused,
                             std::size_t highWater, std::size_t lowWater)
    : m_state(std::make_shared<State>(std::move(post), std::move(onLevel), std::move(onRefused),
                                      highWater, std::min(lowWater, highWater))) {
    m_thread = std::thread(&MidiOutThread::Loop, m_state);
}

MidiOutThread::~MidiOutThread() {
    Stop();
}

void MidiOutThread::Enqueue(std::span<const std::uint32_t> words) {
    State& s = *m_state;
    std::lock_guard feed(s.feed);
    // Played at once while nothing is ahead of them and the device takes
    // them without waiting: the thread is not woken. A message the device
    // refuses goes to the thread like any other (with all after it), which
    // tells of it.
    std::size_t played = 0;
    if (s.quiet.load(std::memory_order_acquire) && s.out) {
        while (played < words.size() && s.out->TryShortMsg(words[played]) == MidiResult::Ok)
            ++played;
        if (played > 0)
            s.refusing = false;
    }
    if (played == words.size())
        return;
    std::lock_guard lock(s.lock);
    if (s.stopping)
        return;
    s.quiet.store(false, std::memory_order_relaxed);
    s.words.insert(s.words.end(), words.begin() + long(played), words.end());
    s.queued += words.size() - played;
    if (s.idle)
        s.wake.notify_one();
    if (s.full || s.words.size() < s.highWater)
        return;
    s.full = true;
    // Under the lock: the drained level cannot overtake it.
    if (!s.abandoned && s.onLevel)
        s.onLevel(true);
}

void MidiOutThread::Run(Job job) {
    State& s = *m_state;
    std::lock_guard feed(s.feed);
    std::lock_guard lock(s.lock);
    if (s.stopping)
        return;
    s.quiet.store(false, std::memory_order_relaxed);
    s.jobs.emplace_back(s.queued, std::move(job));
    if (s.idle)
        s.wake.notify_one();
}

std::size_t MidiOutThread::Queued() const {
    std::lock_guard lock(m_state->lock);
    return m_state->words.size();
}

bool MidiOutThread::Stop(std::chrono::milliseconds timeout) {
    if (!m_thread.joinable())
        return true;
    State& s = *m_state;
    std::unique_lock feed(s.feed);
    std::unique_lock lock(s.lock);
    s.quiet.store(false, std::memory_order_relaxed);
    s.stopping = true;
    feed.unlock(); // feeders now find it stopping and return
    s.wake.notify_one();
    const bool ended = s.ended.wait_for(lock, timeout, [&] { return s.finished; });
    if (!ended)
        s.abandoned = true;
    lock.unlock();
    if (ended)
        m_thread.join();
    else
        m_thread.detach(); // it holds its own share of the state
    return ended;
}

void MidiOutThread::Loop(const std::shared_ptr<State>& state) {
    pthread_setname_np(pthread_self(), "midi-out"); // as top -H shows it
    State& s = *state;
    std::vector<std::uint32_t> batch;
    batch.reserve(kBatch);
    std::vector<std::uint32_t> runsStarted; // first messages of new runs of refusals
    std::unique_lock lock(s.lock);
    for (;;) {
        if (!s.jobs.empty() && s.jobs.front().first <= s.taken) {
            Job job = std::move(s.jobs.front().second);
            s.jobs.pop_front();
            lock.unlock();
            std::function<void()> reply = job(s.out);
            job = nullptr; // what it holds goes here, off the owner's thread
            lock.lock();
            // With nothing else to do, the thread is away from the device
            // before the owner hears of the job: what the owner sends in
            // answer may be played at once.
            if (s.words.empty() && s.jobs.empty() && !s.stopping)
                s.quiet.store(true, std::memory_order_release);
            if (reply && !s.abandoned)
                s.post(std::move(reply));
            continue;
        }
        if (s.words.empty()) {
            if (s.stopping)
                break;
            s.idle = true;
            // No job is left either: one waits only for messages queued
            // before it, and all of them have been taken.
            s.quiet.store(true, std::memory_order_release);
            s.wake.wait(lock, [&] { return !s.words.empty() || !s.jobs.empty() || s.stopping; });
            s.idle = false;
            continue;
        }
        std::size_t n = std::min(s.words.size(), kBatch);
        if (!s.jobs.empty())
            n = std::min<std::size_t>(n, std::size_t(s.jobs.front().first - s.taken));
        batch.assign(s.words.begin(), s.words.begin() + long(n));
        s.words.erase(s.words.begin(), s.words.begin() + long(n));
        s.taken += n;
        if (s.full && s.words.size() <= s.lowWater) {
            s.full = false;
            if (!s.abandoned && s.onLevel)
                s.onLevel(false);
        }
        lock.unlock();
        // The device may wait here like a cable; a message it refuses (or
        // one that finds no device open) is dropped.
        for (const std::uint32_t word : batch) {
            if (!s.out)
                continue;
            const bool refused = s.out->ShortMsg(word) != MidiResult::Ok;
            if (refused && !s.refusing)
                runsStarted.push_back(word);
            s.refusing = refused;
        }
        lock.lock();
        if (!runsStarted.empty()) {
            if (!s.abandoned && s.onRefused)
                for (const std::uint32_t word : runsStarted)
                    s.post([tell = s.onRefused, word] { tell(word); });
            runsStarted.clear();
        }
    }
    lock.unlock();
    s.out.reset();
    lock.lock();
    s.finished = true;
    s.ended.notify_all();
}

} // namespace pallorwind::midi
