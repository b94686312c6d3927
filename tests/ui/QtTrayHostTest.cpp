// The tray host as it runs where the desktop has no tray (Qt's offscreen
// platform): the window with the menu, the menu rendered from the model, and
// commands arriving from the event loop.
#include "platform/ui/QtTrayHost.h"
#include "res/Resources.h"
#include "tests/support/EventLoop.h"

#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace pallorwind::platform {
namespace {

QAction* ActionWithText(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

TEST(QtTrayHost, WithoutATrayTheWindowOffersTheModelsMenuAndCommandsArriveQueued) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    const QIcon idle(QString::fromLatin1(res::kIdleIcon));
    const QIcon connected(QString::fromLatin1(res::kConnectedIcon));
    QtTrayHost host({idle, connected, QIcon(QString::fromLatin1(res::kAppIcon))}, "Tray Window");

    Menu model;
    model.Append(32771, "No Clients", false);
    model.AppendSeparator();
    model.Append(32781, "Auto", false);
    model.Find(32781)->checked = true;
    auto inputs = std::make_shared<Menu>();
    inputs->Append(32810, "None");
    inputs->Append(32811, "Keys");
    inputs->Find(32811)->checked = true;
    model.InsertPopup(3, "Input Midi Port", inputs);
    model.Append(32784, "Exit");
    model.Append(32772, "Name: Rock&Roll", false);
    std::vector<int> chosen;
    ASSERT_TRUE(host.Add("Pallorwind WIN", model, [&](int id) { chosen.push_back(id); }));

    // A grace period for a tray host first, then the window.
    EXPECT_EQ(host.Window(), nullptr);
    ASSERT_TRUE(test::PumpUntil([&] { return host.Window() && host.Window()->isVisible(); },
                                std::chrono::seconds(3)));
    QWidget* window = host.Window();
    EXPECT_EQ(window->windowTitle(), "Tray Window");

    // The button opens the menu, rendered from the model as it is then.
    model.Find(32771)->text = "1 Client connected";
    window->findChild<QPushButton*>("menuButton")->click();
    QMenu* menu = host.PopupMenu();
    ASSERT_TRUE(test::PumpUntil([&] { return menu->isVisible(); }));
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 6);
    EXPECT_EQ(actions[5]->iconText(), "Name: Rock&Roll"); // shown as written
    EXPECT_EQ(actions[0]->text(), "1 Client connected");
    EXPECT_EQ(actions[0]->data().toInt(), 32771);
    EXPECT_FALSE(actions[0]->isEnabled());
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_TRUE(actions[2]->isChecked());
    EXPECT_FALSE(actions[2]->isEnabled());
    EXPECT_FALSE(actions[4]->isCheckable());
    QMenu* sub = actions[3]->menu();
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(actions[3]->text(), "Input Midi Port");
    ASSERT_EQ(sub->actions().size(), 2);
    EXPECT_EQ(sub->actions()[1]->data().toInt(), 32811);
    EXPECT_TRUE(sub->actions()[1]->isChecked());
    EXPECT_FALSE(sub->actions()[0]->isChecked());

    // A change while the menu is open shows at once.
    inputs->Append(32812, "Pads");
    host.MenuChanged();
    ASSERT_EQ(menu->actions()[3]->menu()->actions().size(), 3);

    // Choosing reports the id from the event loop, not from inside the menu.
    sub->actions()[1]->trigger();
    EXPECT_TRUE(chosen.empty());
    ASSERT_TRUE(test::PumpUntil([&] { return !chosen.empty(); }));
    EXPECT_EQ(chosen, std::vector<int>{32811});
    ActionWithText(menu, "Exit")->trigger();
    ASSERT_TRUE(test::PumpUntil([&] { return chosen.size() == 2; }));
    EXPECT_EQ(chosen[1], 32784);
    menu->close();

    // The icon follows the state.
    host.SetIcon(TrayIcon::Connected);
    EXPECT_EQ(host.ShownIcon().cacheKey(), connected.cacheKey());
    host.SetIcon(TrayIcon::Idle);
    EXPECT_EQ(host.ShownIcon().cacheKey(), idle.cacheKey());
    EXPECT_EQ(host.Tray(), nullptr); // never made without a tray host

    // Closing the window does not end the program; Remove hides it.
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(QApplication::quitOnLastWindowClosed());
    host.Remove();
    EXPECT_FALSE(window->isVisible());
}

TEST(ProgramIcons, RenderAtTraySizes) {
    for (const char* path :
         {res::kAppIcon, res::kIdleIcon, res::kConnectedIcon, res::kLayoutFileIcon}) {
        const QIcon icon(QString::fromLatin1(path));
        for (int size : {16, 22, 24, 32, 48}) {
            const QImage image = icon.pixmap(size, size).toImage();
            ASSERT_EQ(image.width(), size) << path;
            // Drawn, not blank: some pixels are opaque, some differ in colour.
            int opaque = 0;
            for (int y = 0; y < size; ++y)
                for (int x = 0; x < size; ++x)
                    opaque += qAlpha(image.pixel(x, y)) > 128;
            EXPECT_GT(opaque, size * size / 4) << path << " at " << size;
        }
    }
    // The two tray states look different.
    EXPECT_NE(QIcon(QString::fromLatin1(res::kIdleIcon)).pixmap(16).toImage(),
              QIcon(QString::fromLatin1(res::kConnectedIcon)).pixmap(16).toImage());
}

} // namespace
} // namespace pallorwind::platform

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    pallorwind::res::InitResources();
    return RUN_ALL_TESTS();
}
