// Message boxes and questions as widgets: opened from the event loop without a
// modal loop of their own, answered through the callback.
#include "platform/ui/WidgetUserInterface.h"
#include "tests/support/EventLoop.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <optional>

namespace pallorwind::platform {
namespace {

QMessageBox* OpenBox(const QString& title) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget);
            box && box->isVisible() && box->windowTitle() == title)
            return box;
    return nullptr;
}

TEST(WidgetUserInterface, BoxesOpenFromTheEventLoopAndAnswersArriveThroughTheCallback) {
    WidgetUserInterface ui;
    std::optional<Answer> answer;
    ui.MessageBox("Open Out Port failed", "PallorwindWin");
    ui.Ask("Install the update?", "Updater", QuestionButtons::YesNo, [&](Answer a) { answer = a; });
    // Nothing opens inside the requests.
    EXPECT_EQ(OpenBox("PallorwindWin"), nullptr);
    EXPECT_EQ(OpenBox("Updater"), nullptr);

    ASSERT_TRUE(test::PumpUntil([] { return OpenBox("Updater") != nullptr; }));
    QMessageBox* message = OpenBox("PallorwindWin");
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->text(), "Open Out Port failed");
    QMessageBox* question = OpenBox("Updater");
    EXPECT_EQ(question->text(), "Install the update?");
    EXPECT_FALSE(answer.has_value());

    question->button(QMessageBox::Yes)->click();
    ASSERT_TRUE(test::PumpUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, Answer::Yes);
    message->button(QMessageBox::Ok)->click();
    EXPECT_TRUE(test::PumpUntil([] { return OpenBox("PallorwindWin") == nullptr; }));
}

} // namespace
} // namespace pallorwind::platform
