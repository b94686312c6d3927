// Both programs as today's desktops meet them. A StatusNotifierItem tray
// host: a private session bus on which this test is the
// org.kde.StatusNotifierWatcher; the real programs on a private X server;
// their menus read (GetLayout) and clicked (Event) over DBusMenu, and the
// icon activated as a left click does. And Wayland: a headless compositor
// (weston) where no tray host runs, and one where a tray host sends
// "Activate".
#include "platform/net/HostAddresses.h"
#include "tests/support/EventLoop.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QProcess>
#include <QSysInfo>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>

using namespace std::chrono_literals;

// What a tray host's watcher offers: items register with it.
class Watcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ HostRegistered)
    Q_PROPERTY(int ProtocolVersion READ Version)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ Items)
public:
    QStringList items;
    bool HostRegistered() const { return true; }
    int Version() const { return 0; }
    QStringList Items() const { return items; }
public slots:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }
    void RegisterStatusNotifierHost(const QString&) {}
};

namespace pallorwind::test {
namespace {

// A helper process that prints one line when ready (the bus its address,
// Xvfb its display number).
struct Service {
    QProcess process;
    QString line;
    bool Start(const QString& program, const QStringList& args) {
        process.start(program, args);
        if (!process.waitForStarted(5000))
            return false;
        PumpUntil([&] { return process.canReadLine(); }, 10s);
        line = QString::fromUtf8(process.readLine()).trimmed();
        return !line.isEmpty();
    }
    ~Service() {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
        process.waitForFinished();
    }
};

// One item of a DBusMenu layout.
struct Item {
    int id = 0;
    QVariantMap properties;
    QList<Item> children;
};

Item ReadItem(const QDBusArgument& argument) {
    Item item;
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        item.children << ReadItem(qvariant_cast<QDBusArgument>(child.variant()));
    }
    argument.endArray();
    argument.endStructure();
    return item;
}

// An item as a line: its label (Qt doubles an underscore), "----" for a
// separator, "> " before a submenu's; then its states.
QString Line(const Item& item) {
    const QVariantMap& p = item.properties;
    if (p.value("type").toString() == "separator")
        return "----";
    QString line = p.value("label").toString().replace("__", "_");
    if (p.value("children-display").toString() == "submenu")
        line.prepend("> ");
    if (p.contains("enabled") && !p.value("enabled").toBool())
        line += " [grayed]";
    if (p.value("toggle-type").toString() == "checkmark" && p.value("toggle-state").toInt() == 1)
        line += " [checked]";
    return line;
}

QStringList Lines(const Item& menu) {
    QStringList lines;
    for (const Item& item : menu.children)
        if (!item.properties.contains("visible") || item.properties.value("visible").toBool())
            lines << Line(item);
    return lines;
}

class TrayOverDBus : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_bus = new Service;
        s_x = new Service;
        // A session bus and an X server of the test's own; an XEmbed tray is
        // not needed: the icon goes to the watcher.
        if (!s_bus->Start("dbus-daemon", {"--session", "--nofork", "--print-address=1"}) ||
            !s_x->Start("Xvfb",
                        {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"}))
            return;
        s_connection = new QDBusConnection(QDBusConnection::connectToBus(s_bus->line, "tray-host"));
        s_watcher = new Watcher;
        s_connection->registerObject("/StatusNotifierWatcher", s_watcher,
                                     QDBusConnection::ExportAllContents);
        s_connection->registerService("org.kde.StatusNotifierWatcher");
    }
    static void TearDownTestSuite() {
        delete s_watcher;
        if (s_connection)
            QDBusConnection::disconnectFromBus("tray-host");
        delete s_connection;
        delete s_x;
        delete s_bus;
    }
    void SetUp() override {
        ASSERT_TRUE(s_connection && s_connection->isConnected()) << "no private session bus";
        ASSERT_FALSE(s_x->line.isEmpty()) << "no private X server";
        ASSERT_TRUE(m_home.isValid());
    }
    void TearDown() override {
        if (m_program.state() != QProcess::NotRunning) {
            m_program.terminate();
            EXPECT_TRUE(m_program.waitForFinished(10000));
        }
        if (m_weston.state() != QProcess::NotRunning) {
            m_weston.terminate();
            if (!m_weston.waitForFinished(5000))
                m_weston.kill();
            m_weston.waitForFinished();
        }
    }

    enum class Desktop { X11, Wayland };

    // Starts `binary` on the private X server (or the Wayland compositor) and,
    // with `trayHost`, the bus with the watcher; returns the bus name its
    // icon registered with the watcher (empty without a tray host).
    QString Start(const QString& binary, const QString& settingsFile, const QByteArray& settings,
                  Desktop desktop = Desktop::X11, bool trayHost = true) {
        const QString home = m_home.path();
        QDir().mkpath(home + "/run");
        QFile::setPermissions(home + "/run", QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ExeOwner);
        QDir().mkpath(home + "/config/Pallorwind");
        QFile file(home + "/config/Pallorwind/" + settingsFile);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(settings) == settings.size());
        file.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/config");
        env.insert("XDG_DATA_HOME", home + "/data");
        env.insert("XDG_RUNTIME_DIR", home + "/run");
        env.insert("AVAHI_COMPAT_NOWARN", "1");
        // Off the machine's DNS-SD daemon: programs of the tests beside this
        // one publish the same default name there, and a name in use stops
        // the program listening.
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + home + "/no-system-bus");
        // No MIDI system: the menus show empty port lists.
        env.insert("PALLORWIND_MIDI_API", "jack");
        env.insert("JACK_NO_START_SERVER", "1");
        env.insert("JACK_DEFAULT_SERVER", "pwtest-none");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        if (desktop == Desktop::X11) {
            env.insert("DISPLAY", ":" + s_x->line);
            env.insert("QT_QPA_PLATFORM", "xcb");
        } else {
            env.insert("WAYLAND_DISPLAY", m_wayland);
            env.insert("QT_QPA_PLATFORM", "wayland");
        }
        if (trayHost)
            env.insert("DBUS_SESSION_BUS_ADDRESS", s_bus->line);
        else
            env.remove("DBUS_SESSION_BUS_ADDRESS");
        m_program.setProcessEnvironment(env);
        m_program.setReadChannel(QProcess::StandardError);
        const qsizetype before = s_watcher->items.size();
        m_program.start(binary, {});
        if (!trayHost)
            return {};
        PumpUntil([&] { return s_watcher->items.size() > before; }, 20s);
        // The item is named by the program's own connection to the bus.
        const QString item = s_watcher->items.value(before);
        EXPECT_EQ(s_connection->interface()->servicePid(item).value(), m_program.processId())
            << item.toStdString() << " " << Err().constData();
        return item;
    }

    // A headless Wayland compositor of the test's own (weston runs as any
    // user, root included); false when there is none.
    bool StartWayland() {
        const QString run = m_home.path() + "/wayland";
        QDir().mkpath(run);
        QFile::setPermissions(run, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ExeOwner);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", run);
        m_weston.setProcessEnvironment(env);
        m_weston.setProcessChannelMode(QProcess::MergedChannels);
        m_weston.start("weston", {"--backend=headless-backend.so", "--socket=pwtest-wayland",
                                  "--idle-time=0", "--no-config", "--debug"});
        m_wayland = run + "/pwtest-wayland";
        return m_weston.waitForStarted(5000) &&
               PumpUntil([&] { return QFile::exists(m_wayland); }, 10s);
    }
    // The titles of the compositor's top-level windows.
    QStringList Toplevels() {
        QProcess debug;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("WAYLAND_DISPLAY", m_wayland);
        debug.setProcessEnvironment(env);
        debug.start("weston-debug", {"-o", "-", "scene-graph"});
        debug.waitForFinished(5000);
        QStringList titles;
        // "View 0 (role xdg_toplevel, ..., top-level window 'TITLE' of APP, ...)"
        for (const QString& line : QString::fromUtf8(debug.readAllStandardOutput()).split('\n')) {
            const qsizetype at = line.indexOf("top-level window '");
            if (at >= 0)
                titles << line.mid(at + 18, line.indexOf("' of", at) - at - 18);
        }
        return titles;
    }

    QByteArray Err() {
        m_err += m_program.readAllStandardError();
        return m_err;
    }
    // The last port the program said it listens on.
    QString ListeningPort() {
        const QByteArray err = Err();
        const QByteArray mark = "listening on TCP port ";
        const qsizetype at = err.lastIndexOf(mark);
        if (at < 0)
            return {};
        const qsizetype end = err.indexOf('\n', at);
        return QString::fromUtf8(err.mid(at + mark.size(), end - at - mark.size()));
    }

    QDBusMessage Call(const QString& service, const QString& path, const QString& interface,
                      const QString& method, const QVariantList& args) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
        call.setArguments(args);
        return s_connection->call(call, QDBus::Block, 5000);
    }

    // The item's menu, as a host reads it.
    std::optional<Item> Layout(const QString& service) {
        const QDBusMessage menu =
            Call(service, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                 {"org.kde.StatusNotifierItem", "Menu"});
        if (menu.type() != QDBusMessage::ReplyMessage)
            return std::nullopt;
        m_menuPath = qvariant_cast<QDBusVariant>(menu.arguments().value(0))
                         .variant()
                         .value<QDBusObjectPath>()
                         .path();
        const QDBusMessage reply = Call(service, m_menuPath, "com.canonical.dbusmenu", "GetLayout",
                                        {0, -1, QStringList()});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
            return std::nullopt;
        return ReadItem(qvariant_cast<QDBusArgument>(reply.arguments()[1]));
    }

    // Clicks the item labelled `label` (the first one, or the one after `after`).
    bool Click(const QString& service, const QString& label, const QString& after = {}) {
        const auto menu = Layout(service);
        if (!menu)
            return false;
        bool seen = after.isEmpty();
        for (const Item& item : menu->children) {
            const QString text = item.properties.value("label").toString();
            if (!seen) {
                seen = text.startsWith(after);
                continue;
            }
            if (text == label) {
                const QDBusMessage reply =
                    Call(service, m_menuPath, "com.canonical.dbusmenu", "Event",
                         {item.id, QString("clicked"), QVariant::fromValue(QDBusVariant(QString())),
                          0u});
                return reply.type() == QDBusMessage::ReplyMessage;
            }
        }
        return false;
    }

    // The program's visible windows with a title matching `name` (a regular
    // expression; empty: all of them).
    QStringList Windows(const QString& name = {}) {
        QProcess search;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", ":" + s_x->line);
        search.setProcessEnvironment(env);
        QStringList args{"search", "--onlyvisible", "--pid",
                         QString::number(m_program.processId())};
        if (!name.isEmpty())
            args << "--name" << name;
        search.start("xdotool", args);
        search.waitForFinished(5000);
        return QString::fromUtf8(search.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }

    // What a left click (or a host's "Activate") brings up: a new window.
    bool ActivateOpensAWindow(const QString& service) {
        const QStringList before = Windows();
        const QDBusMessage reply = Call(service, "/StatusNotifierItem",
                                        "org.kde.StatusNotifierItem", "Activate", {10, 10});
        if (reply.type() != QDBusMessage::ReplyMessage)
            return false;
        return PumpUntil([&] { return Windows().size() > before.size(); }, 10s);
    }

    static inline Service* s_bus = nullptr;
    static inline Service* s_x = nullptr;
    static inline QDBusConnection* s_connection = nullptr;
    static inline Watcher* s_watcher = nullptr;
    QTemporaryDir m_home;
    QProcess m_weston;
    QString m_wayland; // its socket
    QProcess m_program;
    QByteArray m_err;
    QString m_menuPath;
};

TEST_F(TrayOverDBus, TheTrayProgramsMenuIsExportedLiveAndItsItemsWork) {
    const QString item = Start(PALLORWIND_WIN_BINARY, "PallorwindWIN.conf",
                               "[General]\nDisplayBonjourMsg=0\nAutoPort=0\n");
    ASSERT_FALSE(item.isEmpty());
    ASSERT_TRUE(PumpUntil([&] { return !ListeningPort().isEmpty(); }, 10s)) << Err().constData();

    // The menu as the tray menu model has it: texts, order, states.
    auto menu = Layout(item);
    ASSERT_TRUE(menu);
    EXPECT_EQ(m_menuPath, "/MenuBar");
    QStringList expected{"No Clients [grayed]",
                         "----",
                         "Name: " + QSysInfo::machineHostName() + " [grayed]",
                         "Set Name",
                         "Auto [grayed] [checked]",
                         "----",
                         "Port: " + ListeningPort() + " [grayed]",
                         "Set Port",
                         "Auto",
                         "----",
                         "> Input Midi Port",
                         "> Output Midi Port",
                         "----"};
    const auto addresses = platform::HostAddresses();
    if (!addresses || addresses->empty())
        expected << "IP";
    else
        for (const std::string& address : *addresses)
            expected << "IP: " + QString::fromStdString(address) + " [grayed]";
    if (addresses)
        expected << "----";
    expected << "About"
             << "Website"
             << "Check for Updates..."
             << "Auto Start"
             << "Exit";
    EXPECT_EQ(Lines(*menu).join('\n').toStdString(), expected.join('\n').toStdString());
    for (int list : {10, 11})
        EXPECT_FALSE(menu->children.value(list).children.isEmpty()) << "port list " << list;

    // Changes show in the exported menu without it being opened: an app
    // connects; "Auto" under the port is checked and grayed, and the port
    // line shows the new port.
    QTcpSocket app;
    app.connectToHost("127.0.0.1", ListeningPort().toUShort());
    ASSERT_TRUE(app.waitForConnected(5000));
    EXPECT_TRUE(PumpUntil([&] {
        const auto now = Layout(item);
        return now && Lines(*now).value(0) == "1 Client connected [grayed]";
    }));
    const QString oldPort = ListeningPort();
    ASSERT_TRUE(Click(item, "Auto", "Port: "));
    ASSERT_TRUE(PumpUntil([&] { return ListeningPort() != oldPort; }, 10s)) << Err().constData();
    ASSERT_TRUE(PumpUntil([&] {
        menu = Layout(item);
        return menu && Lines(*menu).value(8) == "Auto [grayed] [checked]" &&
               Lines(*menu).value(6) == "Port: " + ListeningPort() + " [grayed]";
    })) << Lines(*menu).join('\n').toStdString();
    EXPECT_EQ(Lines(*menu).value(0), "No Clients [grayed]"); // the restart dropped the app

    // "About" opens the about box; "Activate" opens the menu where the
    // pointer is, as a click on the icon does.
    ASSERT_TRUE(Click(item, "About"));
    EXPECT_TRUE(PumpUntil([&] { return !Windows("^Pallorwind WIN$").isEmpty(); }, 10s));
    EXPECT_TRUE(ActivateOpensAWindow(item));
}

TEST_F(TrayOverDBus, TheSecondProgramsStatusMenuIsExportedAndItsPanelsOpen) {
    const QString item = Start(PALLORWIND_BINARY, "Pallorwind.conf", "[General]\nprefs=1\n");
    ASSERT_FALSE(item.isEmpty());

    std::optional<Item> menu;
    // The port line follows the listener once its service is (or is not)
    // published.
    ASSERT_TRUE(PumpUntil([&] {
        menu = Layout(item);
        return menu && Lines(*menu).value(6).startsWith("Port: ") &&
               Lines(*menu).value(6) != "Port:  [grayed]";
    }));
    const QStringList lines = Lines(*menu);
    ASSERT_EQ(lines.size(), 17) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[0], "No clients [grayed]");
    EXPECT_TRUE(lines[2].startsWith("Name: ") && lines[2].endsWith(" [grayed]"));
    EXPECT_EQ(lines.mid(3, 2), (QStringList{"Choose Name...", "Default Name [grayed] [checked]"}));
    EXPECT_EQ(lines.mid(7, 2),
              (QStringList{"Choose Port...", "Automatic Port [grayed] [checked]"}));
    EXPECT_EQ(lines.mid(10, 3), (QStringList{"Midi: Pallorwind [grayed]", "Choose MIDI Name...",
                                             "Default MIDI Name [grayed] [checked]"}));
    EXPECT_TRUE(lines[14].startsWith("IP: "));
    EXPECT_EQ(lines[16], "Quit");

    ASSERT_TRUE(Click(item, "Choose Name..."));
    EXPECT_TRUE(PumpUntil([&] { return !Windows("^Name$").isEmpty(); }, 10s));
    EXPECT_TRUE(ActivateOpensAWindow(item));
}

TEST_F(TrayOverDBus, OnWaylandWithoutATrayHostBothProgramsShowTheMenuWindow) {
    ASSERT_TRUE(StartWayland()) << m_weston.readAll().constData();
    const std::pair<const char*, const char*> programs[] = {
        {PALLORWIND_WIN_BINARY, "Pallorwind WIN"}, {PALLORWIND_BINARY, "Pallorwind"}};
    for (const auto& [binary, title] : programs) {
        SCOPED_TRACE(binary);
        Start(binary, "unused.conf", "", Desktop::Wayland, /*trayHost*/ false);
        EXPECT_TRUE(PumpUntil([&] { return Toplevels().contains(title); }, 15s))
            << Toplevels().join(", ").toStdString() << Err().constData();
        m_program.terminate();
        EXPECT_TRUE(m_program.waitForFinished(10000));
        m_err.clear();
    }
}

TEST_F(TrayOverDBus, OnWaylandActivateBringsUpTheMenuWindowBesideTheIcon) {
    ASSERT_TRUE(StartWayland()) << m_weston.readAll().constData();
    const QString item = Start(PALLORWIND_WIN_BINARY, "PallorwindWIN.conf",
                               "[General]\nDisplayBonjourMsg=0\n", Desktop::Wayland);
    ASSERT_FALSE(item.isEmpty());
    // In the tray: no window of its own (boxes aside) until the icon is activated.
    ASSERT_TRUE(PumpUntil([&] { return !ListeningPort().isEmpty(); }, 10s)) << Err().constData();
    PumpFor(1500ms);
    EXPECT_FALSE(Toplevels().contains("Pallorwind WIN"));
    const QDBusMessage reply =
        Call(item, "/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", {10, 10});
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage);
    EXPECT_TRUE(PumpUntil([&] { return Toplevels().contains("Pallorwind WIN"); }, 10s))
        << Toplevels().join(", ").toStdString();
}

} // namespace
} // namespace pallorwind::test

#include "TrayOverDBusTest.moc"
