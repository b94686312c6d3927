// The tray host on a real X server (no tray there), with a session bus whose
// StatusNotifierItem watcher has hung (a frozen panel: it holds its name and
// answers nothing). The window with the menu still comes after the grace
// period, and the event loop never waits for the watcher, nor does the
// host's end.
#include "platform/ui/QtTrayHost.h"
#include "tests/support/EventLoop.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QProcess>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <dbus/dbus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace pallorwind::platform {
namespace {

using namespace std::chrono_literals;

QIcon Plain(Qt::GlobalColor color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(color);
    return QIcon(pixmap);
}

// Holds the watcher's name on the bus and never reads what is sent to it.
class HungWatcher {
public:
    explicit HungWatcher(const std::string& address) {
        DBusError error;
        dbus_error_init(&error);
        m_connection = dbus_connection_open_private(address.c_str(), &error);
        if (m_connection && dbus_bus_register(m_connection, &error))
            m_owned = dbus_bus_request_name(m_connection, "org.kde.StatusNotifierWatcher", 0,
                                            &error) == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
        dbus_error_free(&error);
    }
    ~HungWatcher() {
        if (m_connection) {
            dbus_connection_close(m_connection);
            dbus_connection_unref(m_connection);
        }
    }
    bool Owned() const { return m_owned; }

private:
    DBusConnection* m_connection = nullptr;
    bool m_owned = false;
};

TEST(TrayStuckBus, TheWindowComesAndTheLoopNeverWaitsForAHungWatcher) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb");
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address"});
    ASSERT_TRUE(bus.waitForStarted());
    ASSERT_TRUE(test::PumpUntil([&] { return bus.canReadLine(); }, 10s));
    const std::string address = bus.readLine().trimmed().toStdString();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    HungWatcher watcher(address);
    ASSERT_TRUE(watcher.Owned());

    test::LoopGapMeter meter;
    meter.Start();
    auto host = std::make_unique<QtTrayHost>(
        TrayIcons{Plain(Qt::gray), Plain(Qt::green), Plain(Qt::blue)}, "Stuck Bus");
    Menu model;
    model.Append(32784, "Exit");
    ASSERT_TRUE(host->Add("Pallorwind WIN", model, [](int) {}));
    ASSERT_TRUE(test::PumpUntil([&] { return host->Window() && host->Window()->isVisible(); }, 5s));
    test::PumpFor(1500ms); // the tray host is looked for again meanwhile
    meter.Stop();
    std::printf("figure: longest event-loop gap %.1f ms with the watcher hung\n", meter.MaxMs());
    EXPECT_LT(meter.MaxMs(), 200.0);
    EXPECT_EQ(host->Tray(), nullptr);

    const auto start = std::chrono::steady_clock::now();
    host.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    bus.terminate();
    bus.waitForFinished();
}

} // namespace
} // namespace pallorwind::platform
