// The headless user interface: requests from any thread are shown later, in
// order, from the main thread's event loop, as one line each.
#include "platform/ui/UserInterface.h"
#include "tests/support/EventLoop.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <thread>

namespace pallorwind::platform {
namespace {

// What has been written to `file` so far.
std::string Written(std::FILE* file) {
    std::fflush(file);
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;)
        text += char(c);
    return text;
}

TEST(HeadlessUserInterface, RequestsFromAnyThreadAreShownInOrderOnTheMainThread) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        HeadlessUserInterface ui(out);
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
    std::fclose(out);
}

TEST(HeadlessUserInterface, AQuestionTakesItsCancelOrNoAnswer) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    HeadlessUserInterface ui(out);
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
    std::fclose(out);
}

} // namespace
} // namespace pallorwind::platform
