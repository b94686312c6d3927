// The three panels as Qt dialogs, driven by key presses in Qt's offscreen
// platform.
#include "osx/QtPanels.h"

#include <QApplication>
#include <QLineEdit>
#include <QSpinBox>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace pallorwind::osx {
namespace {

// Types `text` into the panel's edit (or spin box) and presses `key`.
void Answer(QInputDialog* panel, const QString& text, Qt::Key key) {
    ASSERT_NE(panel, nullptr);
    QWidget* edit = panel->findChild<QLineEdit*>();
    ASSERT_NE(edit, nullptr);
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, key);
    QApplication::processEvents();
}

TEST(QtPanels, AnswerWithWhatWasTypedOnceEachAndNotOnCancel) {
    QtPanels panels;
    std::optional<std::string> name, midi;
    std::optional<int> port;
    int nameAnswers = 0;
    panels.ChooseName([&](std::string text) {
        name = text;
        ++nameAnswers;
    });
    QInputDialog* open = panels.NamePanel();
    // Asking again while it is open brings the same panel to the front.
    panels.ChooseName([&](std::string) { ++nameAnswers; });
    EXPECT_EQ(panels.NamePanel(), open);
    Answer(open, "Stage Left", Qt::Key_Return);
    EXPECT_EQ(name, "Stage Left");
    EXPECT_EQ(nameAnswers, 1);

    panels.ChoosePort([&](int value) { port = value; });
    Answer(panels.PortPanel(), "50123", Qt::Key_Return);
    EXPECT_EQ(port, 50123);

    // An empty name is an answer too; Escape is none.
    panels.ChooseMidiName([&](std::string text) { midi = text; });
    Answer(panels.MidiPanel(), "Studio", Qt::Key_Escape);
    EXPECT_FALSE(midi.has_value());
    panels.ChooseMidiName([&](std::string text) { midi = text; });
    Answer(panels.MidiPanel(), "", Qt::Key_Return);
    EXPECT_EQ(midi, "");
}

} // namespace
} // namespace pallorwind::osx
