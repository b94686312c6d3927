// The controller with the real Qt parts of the desktop modes, on a desktop
// without a tray host (Qt's offscreen platform): the menu window, its menu,
// the dialogs and message boxes. The user opens the menu, renames the bridge,
// picks a MIDI device from a list and sees an app connect.
#include "BridgeTestSupport.h"
#include "platform/ui/QtTrayHost.h"
#include "platform/ui/WidgetUserInterface.h"
#include "res/Resources.h"
#include "tests/support/FakeMidiSystem.h"
#include "tests/support/FakeShell.h"
#include "tests/support/MemorySettingsStore.h"
#include "win/app/CName.h"
#include "win/app/CPallorwindOSXDlg.h"
#include "win/app/QtDialogs.h"
#include "win/update/SinkUpdateUi.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace pallorwind::win {
namespace {

using testing::AppClient;
using testing::SpinUntil;

// The action shown as `text` in `menu` or its submenus.
QAction* Action(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions()) {
        if (action->text() == text)
            return action;
        if (QMenu* sub = action->menu())
            if (QAction* found = Action(sub, text))
                return found;
    }
    return nullptr;
}

TEST(DesktopMode, TheUserRenamesTheBridgePicksADeviceAndSeesTheAppConnect) {
    res::InitResources();
    midi::FakeMidiSystem midi;
    midi.inputs = {{"Keys"}};
    midi.outputs = {{"Synth"}, {"Piano"}};
    MemorySettingsStore settings;
    settings.values = {{kSettingInMidiPort, "Keys"}, {kSettingOutMidiPort, "Synth"}};
    platform::QtTrayHost tray({QIcon(QString::fromLatin1(res::kIdleIcon)),
                               QIcon(QString::fromLatin1(res::kConnectedIcon)),
                               QIcon(QString::fromLatin1(res::kAppIcon))},
                              kTrayTip);
    platform::WidgetUserInterface ui;
    QtDialogs dialogs("0.1.0");
    test::FakeDesktop desktop;
    SinkUpdateUi updateUi(ui);
    ControllerOptions options;
    options.computerName = "studio-pc";
    CPallorwindOSXDlg controller(settings, midi, ui, {tray, dialogs, desktop, updateUi},
                                 std::move(options));
    ASSERT_TRUE(controller.Start());
    ASSERT_TRUE(SpinUntil([&] { return tray.Window() && tray.Window()->isVisible(); }));

    // The window's button opens the menu; "Set Name" opens "Choose Name".
    QMenu* menu = tray.PopupMenu();
    tray.Window()->findChild<QPushButton*>("menuButton")->click();
    ASSERT_TRUE(SpinUntil([&] { return menu->isVisible(); }));
    EXPECT_TRUE(Action(menu, "Name: studio-pc"));
    Action(menu, "Set Name")->trigger();
    menu->close();
    ASSERT_TRUE(
        SpinUntil([&] { return dialogs.NameDialog() && dialogs.NameDialog()->isVisible(); }));
    QTest::keyClicks(dialogs.NameDialog()->Edit(), " Stage Left ");
    QTest::keyClick(dialogs.NameDialog()->Edit(), Qt::Key_Enter);
    ASSERT_TRUE(SpinUntil([&] { return controller.Name() == "Stage Left"; }));
    EXPECT_EQ(settings.values[kSettingName], "Stage Left");

    // The output list offers the devices; choosing one opens it.
    tray.Window()->findChild<QPushButton*>("menuButton")->click();
    ASSERT_TRUE(SpinUntil([&] { return menu->isVisible(); }));
    EXPECT_TRUE(Action(menu, "Name: Stage Left"));
    QAction* piano = Action(menu, "Piano");
    ASSERT_TRUE(piano);
    piano->trigger();
    menu->close();
    ASSERT_TRUE(SpinUntil([&] { return settings.values[kSettingOutMidiPort] == "Piano"; }));
    ASSERT_TRUE(SpinUntil([&] { return !controller.Ports().Busy(); }));
    EXPECT_TRUE(controller.Ports().OutputOpen());

    // An app connects on the service built for the new name.
    AppClient app(std::uint16_t(std::stoi(controller.Port())));
    ASSERT_TRUE(SpinUntil([&] { return controller.Clients() == 1; }));
    ASSERT_TRUE(app.Send({0x90, 0x3C, 0x7F}));
    ASSERT_TRUE(SpinUntil([&] { return midi.log->SentCount() == 1; }));
    tray.Window()->findChild<QPushButton*>("menuButton")->click();
    ASSERT_TRUE(SpinUntil([&] { return menu->isVisible(); }));
    EXPECT_TRUE(Action(menu, "1 Client connected"));
    menu->close();

    // "Exit" takes the window away and closes everything.
    controller.OnCommand(kIdExit);
    EXPECT_FALSE(tray.Window()->isVisible());
    EXPECT_EQ(controller.Server(), nullptr);
}

} // namespace
} // namespace pallorwind::win
