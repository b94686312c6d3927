// The update's question, progress and result as widgets (Qt's offscreen
// platform), against update_server.py sending the archive slowly: the
// progress shows while the download runs, its Cancel stops the check, and it
// is gone before the result is shown.

#include "UpdateTestSupport.h"
#include "platform/ui/WidgetUserInterface.h"
#include "tests/support/EventLoop.h"
#include "tests/support/RecordingUi.h"
#include "tests/support/ZipTestSupport.h"
#include "win/update/SinkUpdateUi.h"
#include "win/update/UpdateCheck.h"

#include <QApplication>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

namespace {

using namespace pallorwind;
using namespace pallorwind::win;
using namespace updatetest;
using ::testing::ElementsAre;

const std::string kExe = "pallorwind-win";

template <typename T> T* Shown(const QString& title = {}) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* w = qobject_cast<T*>(widget);
            w && w->isVisible() && (title.isEmpty() || w->windowTitle() == title))
            return w;
    return nullptr;
}

// One check with the program's widgets; `whileRunning` drives the boxes on
// the event loop until it returns true.
UpdateOutcome CheckWithWidgets(const std::string& url, Installation& inst,
                               const std::function<bool()>& whileRunning) {
    platform::WidgetUserInterface widgets;
    SinkUpdateUi ui(widgets);
    UpdaterEnvironment env;
    env.executablePath = inst.exe.string();
    env.tempRoot = inst.temp.string();
    platform::HttpClientOptions http;
    http.userAgent = kUpdateUserAgent;
    // The check gives the progress its Cancel and closes it when it ends.
    UpdateCheck check(ui, env, http);
    std::optional<UpdateOutcome> outcome;
    EXPECT_TRUE(check.Start(url, [&](UpdateOutcome o) { outcome = std::move(o); }));
    // Yes to the question.
    EXPECT_TRUE(test::PumpUntil([] { return Shown<QMessageBox>(kUpdateQuestionCaption); }));
    if (QMessageBox* question = Shown<QMessageBox>(kUpdateQuestionCaption))
        question->button(QMessageBox::Yes)->click();
    EXPECT_TRUE(test::PumpUntil(whileRunning, std::chrono::seconds(30)));
    EXPECT_TRUE(test::PumpUntil([&] { return outcome.has_value(); }, std::chrono::seconds(30)));
    test::PumpFor(std::chrono::milliseconds(20)); // what the end queued
    return outcome.value_or(UpdateOutcome{});
}

TEST(UpdateProgressTest, ProgressShowsDuringTheDownloadAndItsCancelStopsTheCheck) {
    ziptest::ScratchDir site;
    fs::create_directories(site.path() / "slow");
    ziptest::WriteFile(site.path() / "slow/update.txt", "1.0.8");
    ziptest::WriteFile(
        site.path() / "slow/pallorwind_win_update.zip",
        ziptest::Build(
            {.entries = {ziptest::Entry(
                 kExe, FakeExecutable("new", "1.0.8.0") + ziptest::SampleData(1 << 20), 0)}}));
    UpdateServer server(site.path());
    const std::string url = server.Url("slow", "slow");

    {
        // Cancelled part-way: nothing installed, nothing told, no progress left.
        Installation inst("1.0.7.0");
        int valueAtCancel = -1;
        const UpdateOutcome outcome = CheckWithWidgets(url, inst, [&] {
            QProgressDialog* progress = Shown<QProgressDialog>(kProgressCaption);
            if (progress == nullptr || progress->value() <= 0)
                return false;
            EXPECT_EQ(progress->maximum(), 1000);
            EXPECT_THAT(progress->labelText().toStdString(), ::testing::StartsWith(kProgressText));
            valueAtCancel = progress->value();
            progress->findChild<QPushButton*>()->click();
            return true;
        });
        EXPECT_EQ(outcome.result, NotInstalled) << UpdateResultName(outcome.result);
        EXPECT_GT(valueAtCancel, 0);
        EXPECT_LT(valueAtCancel, 1000);
        EXPECT_EQ(Shown<QProgressDialog>(), nullptr);
        EXPECT_EQ(Shown<QMessageBox>(), nullptr);
        EXPECT_EQ(RunExecutable(inst.exe), "old");
        EXPECT_THAT(inst.Files(), ElementsAre(kExe));
        EXPECT_TRUE(inst.TempEmpty());
    }
    {
        // Completed: the progress is gone by the time the result shows.
        Installation inst("1.0.7.0");
        bool progressSeen = false;
        bool progressWithResult = true;
        const UpdateOutcome outcome = CheckWithWidgets(url, inst, [&] {
            progressSeen = progressSeen || Shown<QProgressDialog>(kProgressCaption) != nullptr;
            QMessageBox* told = Shown<QMessageBox>(kUpdatedCaption);
            if (told == nullptr)
                return false;
            progressWithResult = Shown<QProgressDialog>() != nullptr;
            EXPECT_EQ(told->text().toStdString(), kUpdatedText);
            told->button(QMessageBox::Ok)->click();
            return true;
        });
        EXPECT_EQ(outcome.result, Updated) << UpdateResultName(outcome.result);
        EXPECT_TRUE(progressSeen);
        EXPECT_FALSE(progressWithResult);
        EXPECT_EQ(RunExecutable(inst.exe), "new");
    }
    {
        // Failed after Yes: a message box says why, once the progress is gone.
        fs::create_directories(site.path() / "wrong");
        ziptest::WriteFile(site.path() / "wrong/update.txt", "1.0.8");
        ziptest::WriteFile(
            site.path() / "wrong/pallorwind_win_update.zip",
            ziptest::Build({.entries = {ziptest::Entry(kExe, FakeExecutable("new", "1.0.9.0"))}}));
        Installation inst("1.0.7.0");
        std::string told;
        bool progressWithResult = true;
        const UpdateOutcome outcome = CheckWithWidgets(server.Url("files", "wrong"), inst, [&] {
            QMessageBox* box = Shown<QMessageBox>("PallorwindWin");
            if (box == nullptr)
                return false;
            progressWithResult = Shown<QProgressDialog>() != nullptr;
            told = box->text().toStdString();
            box->button(QMessageBox::Ok)->click();
            return true;
        });
        EXPECT_EQ(outcome.result, NotInstalled) << UpdateResultName(outcome.result);
        EXPECT_THAT(told, ::testing::StartsWith("The update was not installed: "));
        EXPECT_FALSE(progressWithResult);
        EXPECT_EQ(RunExecutable(inst.exe), "old");
    }
}

// Each update request becomes its request to the sink; the progress ends
// before a message, and its Cancel reaches the functor only while the
// SinkUpdateUi lives.
TEST(SinkUpdateUiTest, PutsEachRequestThroughTheSinkInOrder) {
    test::RecordingUi sink;
    std::vector<bool> answers;
    std::vector<std::pair<bool, bool>> replies;
    int cancels = 0;
    {
        SinkUpdateUi ui(sink);
        ui.SetCancel([&] { ++cancels; });
        sink.answer = platform::Answer::Yes;
        ui.Ask("Proceed?", kUpdateQuestionCaption, [&](bool yes) { answers.push_back(yes); });
        sink.answer = platform::Answer::No;
        ui.Ask("Proceed?", kUpdateQuestionCaption, [&](bool yes) { answers.push_back(yes); });
        // The check box counts only with Ok.
        sink.noticeOk = false;
        sink.noticeChecked = true;
        ui.StartupNotice([&](bool ok, bool doNotCheck) { replies.emplace_back(ok, doNotCheck); });
        sink.noticeOk = true;
        ui.StartupNotice([&](bool ok, bool doNotCheck) { replies.emplace_back(ok, doNotCheck); });

        ui.Progress(10, 100);
        ui.Progress(50, 0);
        sink.cancelProgress();
        ui.Tell(kUpdatedText, kUpdatedCaption);
        ui.End(); // ended already
        ui.Progress(1, 2);
    }
    sink.cancelProgress(); // after the SinkUpdateUi went
    EXPECT_EQ(answers, (std::vector<bool>{true, false}));
    EXPECT_EQ(replies, (std::vector<std::pair<bool, bool>>{{false, false}, {true, true}}));
    EXPECT_EQ(sink.notices[0],
              std::make_pair(std::string(kNoticeText), std::string(kNoticeCaption)));
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(sink.boxes[0],
              std::make_pair(std::string(kUpdatedText), std::string(kUpdatedCaption)));
    EXPECT_EQ(sink.progress[1].total, 0u);
    EXPECT_EQ(sink.events, (std::vector<std::string>{"question", "question", "notice", "notice",
                                                     "progress", "progress", "end progress",
                                                     "message", "progress", "end progress"}));
}

} // namespace
