// Pacing output to a MIDI system that runs in cycles, on a scripted clock.
#include "platform/midi/OutputPacer.h"

#include <gtest/gtest.h>

namespace pallorwind::midi {
namespace {

using namespace std::chrono_literals;

struct ScriptedCycles final : CycleSource {
    std::uint32_t Cycles() const override { return cycles; }
    bool WaitPast(std::uint32_t seen, std::chrono::milliseconds) const override {
        ++waits;
        if (stalled)
            return false;
        EXPECT_EQ(seen, cycles);
        ++cycles; // the next cycle begins while we wait
        return true;
    }
    bool Alive() const override { return alive; }

    mutable std::uint32_t cycles = 7;
    mutable int waits = 0;
    bool stalled = false;
    bool alive = true;
};

TEST(OutputPacerTest, AdmitsOneShareEachCycleAndWaitsForTheNext) {
    ScriptedCycles clock;
    OutputPacer pacer(clock, 3, 1s);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pacer.Admit(), kMidiOk);
    EXPECT_EQ(clock.waits, 0);
    EXPECT_EQ(pacer.Admit(), kMidiOk); // the fourth waited for cycle 8
    EXPECT_EQ(clock.waits, 1);
    EXPECT_EQ(clock.cycles, 8u);
    EXPECT_EQ(pacer.Admit(), kMidiOk);
    EXPECT_EQ(pacer.Admit(), kMidiOk);
    EXPECT_EQ(pacer.Admit(), kMidiOk);
    EXPECT_EQ(clock.waits, 2);

    // A cycle that passed on its own gives a whole new share.
    clock.cycles += 5;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pacer.Admit(), kMidiOk);
    EXPECT_EQ(clock.waits, 2);
}

TEST(OutputPacerTest, AStalledSystemFailsFastUntilItRunsAgain) {
    ScriptedCycles clock;
    OutputPacer pacer(clock, 2, 1s);
    EXPECT_EQ(pacer.Admit(), kMidiOk);
    EXPECT_EQ(pacer.Admit(), kMidiOk);
    clock.stalled = true;
    EXPECT_EQ(pacer.Admit(), kMidiNotReady);
    EXPECT_EQ(pacer.Admit(), kMidiNotReady);
    EXPECT_EQ(clock.waits, 1); // waited once, not once per event

    clock.stalled = false;
    ++clock.cycles;
    EXPECT_EQ(pacer.Admit(), kMidiOk);
    EXPECT_EQ(pacer.Admit(), kMidiOk);

    clock.alive = false;
    EXPECT_EQ(pacer.Admit(), kMidiNotReady);
    EXPECT_EQ(clock.waits, 1);
}

} // namespace
} // namespace pallorwind::midi
