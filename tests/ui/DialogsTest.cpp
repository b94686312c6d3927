// The tray program's dialogs and the notice, driven by key presses in Qt's
// offscreen platform.
#include "platform/ui/NoticeDialog.h"
#include "platform/ui/WidgetUserInterface.h"
#include "res/Resources.h"
#include "tests/support/EventLoop.h"
#include "win/app/CAboutDlg.h"
#include "win/app/CName.h"
#include "win/app/CPortDlg.h"
#include "win/app/QtDialogs.h"
#include "win/app/TrimmedText.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace pallorwind {
namespace {

using win::TrimmedText;

TEST(TrimmedText, CutsWhiteSpaceAtBothEndsAndNeverInsideOrWithinACharacter) {
    EXPECT_EQ(TrimmedText("  Studio PC \t\r\n"), "Studio PC");
    EXPECT_EQ(TrimmedText(" \t "), "");
    EXPECT_EQ(TrimmedText(""), "");
    // The no-break and the ideographic space are white space too.
    EXPECT_EQ(TrimmedText("\xC2\xA0\xE3\x80\x80名前 スタジオ\xE3\x80\x80"), "名前 スタジオ");
    // Characters whose bytes resemble white space stay whole: U+3020 ends in
    // 0x80 0xA0, U+0120 is 0xC4 0xA0.
    EXPECT_EQ(TrimmedText("\xE3\x80\xA0"), "\xE3\x80\xA0");
    EXPECT_EQ(TrimmedText("a\xC4\xA0"), "a\xC4\xA0");
}

void Show(QDialog* dialog) {
    ASSERT_TRUE(test::PumpUntil([&] { return dialog->isVisible(); }));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
}

TEST(QtDialogs, ChooseNameLimitsTrimsAndAnswersOnlyOnOk) {
    win::QtDialogs dialogs("1.2.3");
    std::vector<std::string> names;
    auto onOk = [&](std::string name) { names.push_back(std::move(name)); };

    dialogs.ChooseName(onOk);
    win::CName* dialog = dialogs.NameDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_NO_FATAL_FAILURE(Show(dialog));
    EXPECT_EQ(dialog->windowTitle(), "Choose Name");
    QLineEdit* edit = dialog->Edit();
    EXPECT_TRUE(edit->text().isEmpty());

    // At most 63 characters, and no more than 63 bytes of UTF-8.
    QTest::keyClicks(edit, QString(70, 'n'));
    EXPECT_EQ(edit->text().size(), 63);
    edit->clear();
    for (int i = 0; i < 40; ++i)
        edit->insert(QStringLiteral("é"));
    EXPECT_EQ(edit->text(), QString(31, QChar(0xE9)));

    // Only white space: OK leaves the dialog open, with no answer.
    edit->clear();
    QTest::keyClicks(edit, "   ");
    QTest::keyClick(edit, Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_TRUE(names.empty());

    // A second request brings the open dialog forward.
    dialogs.ChooseName(onOk);
    EXPECT_EQ(dialogs.NameDialog(), dialog);

    // Enter is OK; the name comes trimmed, inner spaces kept.
    edit->clear();
    QTest::keyClicks(edit, "  Studio PC  ");
    QTest::keyClick(edit, Qt::Key_Enter);
    ASSERT_TRUE(test::PumpUntil([&] { return dialogs.NameDialog() == nullptr; }));
    EXPECT_EQ(names, std::vector<std::string>{"Studio PC"});

    // Escape cancels: no answer.
    dialogs.ChooseName(onOk);
    ASSERT_NO_FATAL_FAILURE(Show(dialogs.NameDialog()));
    QTest::keyClicks(dialogs.NameDialog()->Edit(), "Other");
    QTest::keyClick(dialogs.NameDialog()->Edit(), Qt::Key_Escape);
    ASSERT_TRUE(test::PumpUntil([&] { return dialogs.NameDialog() == nullptr; }));
    EXPECT_EQ(names.size(), 1u);
}

TEST(QtDialogs, ChoosePortTakesDigitsOnlyFiveAtMostLeadingZerosKept) {
    win::QtDialogs dialogs("1.2.3");
    std::optional<std::string> port;
    dialogs.ChoosePort([&](std::string p) { port = std::move(p); });
    win::CPortDlg* dialog = dialogs.PortDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_NO_FATAL_FAILURE(Show(dialog));
    EXPECT_EQ(dialog->windowTitle(), "Choose Port");

    QTest::keyClick(dialog->Edit(), Qt::Key_Return); // empty: stays open
    QApplication::processEvents();
    EXPECT_TRUE(dialog->isVisible());
    // Beyond the last port: refused, and the dialog says why.
    QTest::keyClicks(dialog->Edit(), "65600");
    QTest::keyClick(dialog->Edit(), Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->Hint()->isHidden());
    EXPECT_FALSE(port.has_value());
    dialog->Edit()->clear();
    QTest::keyClicks(dialog->Edit(), " 0a4-0 0x97");
    EXPECT_EQ(dialog->Edit()->text(), "04009");
    QTest::keyClick(dialog->Edit(), Qt::Key_Return);
    ASSERT_TRUE(test::PumpUntil([&] { return port.has_value(); }));
    EXPECT_EQ(*port, "04009");

    // The close box cancels.
    port.reset();
    dialogs.ChoosePort([&](std::string p) { port = std::move(p); });
    ASSERT_NO_FATAL_FAILURE(Show(dialogs.PortDialog()));
    QTest::keyClicks(dialogs.PortDialog()->Edit(), "80");
    dialogs.PortDialog()->close();
    test::PumpFor(std::chrono::milliseconds(20));
    EXPECT_FALSE(port.has_value());
}

TEST(QtDialogs, AboutShowsNameAndVersionAndClosesWithEnterOrEscape) {
    win::QtDialogs dialogs("1.2.3");
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Escape}) {
        dialogs.About();
        win::CAboutDlg* about = dialogs.AboutDialog();
        ASSERT_NE(about, nullptr);
        ASSERT_NO_FATAL_FAILURE(Show(about));
        EXPECT_EQ(about->windowTitle(), "Pallorwind WIN");
        QStringList texts;
        for (QLabel* label : about->findChildren<QLabel*>())
            texts << (label->pixmap().isNull() ? label->text() : QStringLiteral("[icon]"));
        EXPECT_TRUE(texts.contains("Pallorwind WIN")) << texts.join('|').toStdString();
        EXPECT_TRUE(texts.contains("Pallorwind WIN (1.2.3)"));
        EXPECT_TRUE(texts.contains("[icon]"));
        QTest::keyClick(about, key);
        ASSERT_TRUE(test::PumpUntil([&] { return dialogs.AboutDialog() == nullptr; }))
            << "key " << key;
    }
}

// The notice as the user-interface sink shows it: ok only from its button.
TEST(NoticeDialog, OnlyTheButtonGivesOkAndTheCheckBoxIsReported) {
    platform::WidgetUserInterface ui;
    std::vector<std::pair<bool, bool>> closed;
    auto open = [&] {
        ui.Notice("Could not register", "Service Error", "Do not show again", "Ok",
                  [&](bool ok, bool checked) { closed.emplace_back(ok, checked); });
        platform::NoticeDialog* notice = nullptr;
        EXPECT_TRUE(test::PumpUntil([&] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* n = dynamic_cast<platform::NoticeDialog*>(widget); n && n->isVisible())
                    notice = n;
            return notice != nullptr;
        }));
        if (notice) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(notice));
        }
        return notice;
    };

    platform::NoticeDialog* notice = open();
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->windowTitle(), "Service Error");
    EXPECT_FALSE(notice->CheckBox()->isChecked());
    EXPECT_EQ(notice->OkButton()->text(), "Ok");
    QTest::keyClick(notice->CheckBox(), Qt::Key_Space);
    QTest::keyClick(notice, Qt::Key_Return);
    ASSERT_TRUE(test::PumpUntil([&] { return closed.size() == 1; }));
    EXPECT_EQ(closed[0], std::make_pair(true, true));

    notice = open();
    ASSERT_NE(notice, nullptr);
    QTest::keyClick(notice, Qt::Key_Escape);
    ASSERT_TRUE(test::PumpUntil([&] { return closed.size() == 2; }));
    EXPECT_EQ(closed[1], std::make_pair(false, false));

    notice = open();
    ASSERT_NE(notice, nullptr);
    notice->CheckBox()->setChecked(true);
    notice->close();
    ASSERT_TRUE(test::PumpUntil([&] { return closed.size() == 3; }));
    EXPECT_EQ(closed[2], std::make_pair(false, true));
}

} // namespace
} // namespace pallorwind

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    pallorwind::res::InitResources();
    return RUN_ALL_TESTS();
}
