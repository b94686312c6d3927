// The headless user interface: requests from any thread are shown later, in
// order, from the main thread's event loop, as one line each.
#include "platform/ui/UserInterface.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

namespace pallorwind::platform {
namespace {

// What has been written to the log so far, a line each.
std::string Written(const test::LogCapture& log) {
    std::string text;
    for (const std::string& line : log.Lines())
        text += line + "\n";
    return text;
}

TEST(HeadlessUserInterface, RequestsFromAnyThreadAreShownInOrderOnTheMainThread) {
    test::LogCapture out;
    {
        HeadlessUserInterface ui;
        const auto mainThread = std::this_thread::get_id();
        std::optional<std::thread::id> answeredOn;

        // Nothing is shown inside the request itself.
        ui.MessageBox("Open Out Port failed \nPallorwind may not work", "PallorwindWin");
        EXPECT_EQ(Written(out), "");
        std::thread other([&] {
            ui.MessageBox("from the MIDI thread", "PallorwindWin");
            ui.Ask("Check now?", "Updater", QuestionButtons::YesNo,
                   [&](Answer) { answeredOn = std::this_thread::get_id(); });
        });
        other.join();
        EXPECT_EQ(Written(out), "");

        ASSERT_TRUE(test::PumpUntil([&] { return answeredOn.has_value(); }));
        EXPECT_EQ(*answeredOn, mainThread);
        EXPECT_EQ(Written(out), "PallorwindWin: Open Out Port failed  Pallorwind may not work\n"
                                "PallorwindWin: from the MIDI thread\n"
                                "Updater: Check now?\n");
        // What is still queued when it goes is written out, not lost.
        ui.MessageBox("last words", "PallorwindWin");
    }
    EXPECT_NE(Written(out).find("PallorwindWin: last words\n"), std::string::npos);
}

TEST(HeadlessUserInterface, AQuestionTakesItsCancelOrNoAnswer) {
    test::LogCapture out;
    HeadlessUserInterface ui;
    std::optional<Answer> okCancel, yesNo;
    ui.Ask("Replace the file?", "PallorwindWin", QuestionButtons::OkCancel,
           [&](Answer a) { okCancel = a; });
    ui.Ask("Install the update?\r\nIt restarts the program.", "Updater", QuestionButtons::YesNo,
           [&](Answer a) { yesNo = a; });
    ASSERT_TRUE(test::PumpUntil([&] { return okCancel && yesNo; }));
    EXPECT_EQ(*okCancel, Answer::Cancel);
    EXPECT_EQ(*yesNo, Answer::No);
    EXPECT_EQ(Written(out), "PallorwindWin: Replace the file?\n"
                            "Updater: Install the update?  It restarts the program.\n");
}

// Progress is a line per tenth (per MiB when the total is unknown); updates
// queued behind one another show only the latest, in order with the rest.
TEST(HeadlessUserInterface, ProgressIsALinePerStepAndQueuedUpdatesCoalesce) {
    test::LogCapture out;
    HeadlessUserInterface ui;
    ui.MessageBox("before", "PallorwindWin");
    std::thread worker([&] {
        for (std::uint64_t done : {0, 5, 15, 55})
            ui.Progress("Updater", "Downloading", done, 100, [] {});
    });
    worker.join();
    ui.MessageBox("between", "PallorwindWin");
    ui.Progress("Updater", "Downloading", 100, 100, [] {});
    ui.EndProgress();
    test::PumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(Written(out), "PallorwindWin: before\n"
                            "Updater: Downloading 50 %\n"
                            "PallorwindWin: between\n"
                            "Updater: Downloading 100 %\n");

    out.Clear();
    for (std::uint64_t done : {0u, 512u << 10, 1u << 20, 3u << 19, 5u << 19}) {
        ui.Progress("Updater", "Downloading", done, 0, [] {});
        test::PumpFor(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(Written(out), "Updater: Downloading 0 MiB\n"
                            "Updater: Downloading 1 MiB\n"
                            "Updater: Downloading 2 MiB\n");
}

} // namespace
} // namespace pallorwind::platform
