// Plays short messages on the output device from a thread of its own, so that
// whoever queues them never waits for the MIDI system. Opening and closing
// devices run there too, in order with the messages around them. While the
// thread has nothing to do, a message the device takes without waiting is
// played by the caller instead, and the thread sleeps on. Any number of
// threads may call Enqueue at once; one thread, the owner's, calls Run and
// Stop.
#pragma once

#include "platform/midi/MidiDevices.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <thread>

namespace pallorwind::midi {

class MidiOutThread {
public:
    // Messages queued before the feeders are asked to stop feeding more, and
    // the level below which they may feed again. About 10 ms and 3 ms of a JACK
    // output running flat out.
    static constexpr std::size_t kHighWater = 4000;
    static constexpr std::size_t kLowWater = 1000;

    // Carries a call to the owner's thread (for the owner: its event loop).
    using Post = std::function<void(std::function<void()>)>;
    // Work for the output thread on the output device's slot (which it may
    // close or fill). What it returns, if anything, is posted to the owner.
    using Job = std::function<std::function<void()>(std::unique_ptr<MidiOutDevice>& out)>;

    // Told of the first message of each run of messages that the device
    // refused (a MIDI server that went away, say); the rest of the run is
    // dropped without a word.
    using Refused = std::function<void(std::uint32_t word)>;

    // `onLevel(true)` is called each time the queue reaches the high-water
    // mark (the feeders should pause), `onLevel(false)` when it has come down
    // from there to the low-water mark: at once, on the thread that changed
    // the level (a feeder's or the output thread), under the queue's lock,
    // so always in that order; it only flips a switch. Never after Stop has
    // given up on the thread. `onRefused` (if any) is posted once per run of
    // refused messages.
    MidiOutThread(Post post, std::function<void(bool full)> onLevel, Refused onRefused = {},
                  std::size_t highWater = kHighWater, std::size_t lowWater = kLowWater);
    // Stop(kStopWait) unless stopped already.
    ~MidiOutThread();
    MidiOutThread(const MidiOutThread&) = delete;
    MidiOutThread& operator=(const MidiOutThread&) = delete;

    static constexpr std::chrono::milliseconds kStopWait{3000};

    // Queues `words` (one read's) in order; never waits for the device and
    // never refuses one (the queue is bounded by its feeders pausing). While
    // nothing is ahead of them and the device takes them without waiting
    // (TryShortMsg), they are played here and then, without waking the
    // thread. Feeders take turns: another feeder's messages do not come
    // between these. A message that the device refuses (see Refused), or
    // that finds no device open, is dropped. Ignored once stopped. Any
    // thread.
    void Enqueue(std::span<const std::uint32_t> words);
    // Runs `job` on the output thread after every message queued before it.
    void Run(Job job);

    // Plays the messages still queued (the last ones of a bridge that ends
    // are its note releases), runs the jobs still queued, closes the output
    // device and ends the thread, waiting at most `timeout`.
    // False when the thread did not end in time (a device that does not
    // return): it is left to finish on its own and posts nothing more.
    bool Stop(std::chrono::milliseconds timeout = kStopWait);

    // Messages waiting (not yet handed to the device).
    std::size_t Queued() const;

private:
    struct State;
    static void Loop(const std::shared_ptr<State>& state);

    std::shared_ptr<State> m_state; // shared with the thread, which may outlive us
    std::thread m_thread;
};

} // namespace pallorwind::midi
