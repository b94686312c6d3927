#include "platform/ui/QtTrayHost.h"

#include "platform/ui/TrayHostProbe.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

namespace pallorwind::platform {
namespace {

using namespace std::chrono_literals;

// How long a tray host may take to appear before the window is shown, how
// often to look during that time, and how often to look afterwards (for a
// tray host that appears, or goes away with the panel that showed it).
constexpr auto kGracePeriod = 1000ms;
constexpr auto kGraceStep = 100ms;
constexpr auto kTrayPoll = 2000ms;

// The window for a desktop without a tray host (and, on Wayland, what a
// click on the tray icon brings up): the state icon, a line of text and a
// button that opens the menu; a right click opens it too.
class MenuWindow final : public QWidget {
public:
    // `inTray` tells whether the tray shows the icon now.
    MenuWindow(QMenu* menu, const QString& title, const QIcon& appIcon, const QString& status,
               std::function<bool()> inTray)
        : m_menu(menu), m_inTray(std::move(inTray)) {
        setWindowTitle(title);
        setWindowIcon(appIcon);
        m_icon = new QLabel;
        auto* text = new QLabel(status);
        text->setWordWrap(true);
        auto* button = new QPushButton(QStringLiteral("Menu"));
        button->setObjectName(QStringLiteral("menuButton"));
        QObject::connect(button, &QPushButton::clicked, this, [this, button] {
            m_menu->popup(button->mapToGlobal(QPoint(0, button->height())));
        });
        auto* row = new QHBoxLayout;
        row->addWidget(m_icon);
        row->addWidget(text, 1);
        auto* column = new QVBoxLayout(this);
        column->addLayout(row);
        column->addWidget(button, 0, Qt::AlignRight);
    }

    void SetStateIcon(const QIcon& icon) { m_icon->setPixmap(icon.pixmap(32, 32)); }

protected:
    void closeEvent(QCloseEvent* event) override {
        // The program lives on; its menu has the command that ends it. With
        // the icon in the tray the window goes; without, it stays at hand.
        event->ignore();
        if (m_inTray())
            hide();
        else
            showMinimized();
    }
    void contextMenuEvent(QContextMenuEvent* event) override { m_menu->popup(event->globalPos()); }

private:
    QMenu* m_menu;
    std::function<bool()> m_inTray;
    QLabel* m_icon = nullptr;
};

// Wayland gives a program no place on the screen: a popup cannot be put
// where the tray icon is.
bool CanPlacePopups() {
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// A menu text as typed: a name such as "Rock&Roll" is no shortcut.
QString MenuText(const std::string& text) {
    return QString::fromStdString(text).replace(QLatin1Char('&'), QLatin1String("&&"));
}

// Whether `target` has the items of `items`, kind for kind, so that only
// texts and states need to change. Changing in place keeps the items that a
// tray host shows over D-Bus (and their ids there) while the menu is open.
bool SameShape(QMenu* target, const Menu& items) {
    const QList<QAction*> actions = target->actions();
    if (actions.size() != qsizetype(items.Items().size()))
        return false;
    for (qsizetype i = 0; i < actions.size(); ++i) {
        const MenuItem& item = items.Items()[std::size_t(i)];
        QMenu* sub = actions[i]->menu();
        if (item.separator != actions[i]->isSeparator() || bool(item.submenu) != (sub != nullptr))
            return false;
        if (sub && !SameShape(sub, *item.submenu))
            return false;
    }
    return true;
}

void SetState(QAction* action, const MenuItem& item) {
    action->setEnabled(item.enabled);
    if (item.separator)
        return;
    action->setText(MenuText(item.text));
    if (item.submenu)
        return;
    action->setData(item.id);
    action->setCheckable(item.checked);
    action->setChecked(item.checked);
}

} // namespace

struct QtTrayHost::Impl {
    TrayIcons icons;
    QString title;
    QString tooltip;
    const Menu* model = nullptr;
    Command onCommand;
    std::function<void()> aboutToShow;
    TrayIcon state = TrayIcon::Idle;
    enum class Mode { Off, Waiting, Tray, Window } mode = Mode::Off;

    QMenu menu;
    // Made the first time a tray host is found: making it asks the session
    // bus, which must not stall the start on a bus that does not answer.
    std::unique_ptr<QSystemTrayIcon> tray;
    bool trayOverBus = false;       // the icon shows through a StatusNotifierItem host
    std::optional<TrayHosts> hosts; // the latest answer of the probe
    std::unique_ptr<TrayHostProbe> probe;
    std::unique_ptr<MenuWindow> window;
    QTimer poll;
    std::chrono::milliseconds waited{0};
    QObject context; // last, so first to go: queued commands and signals die with the host

    const QIcon& StateIcon() const {
        return state == TrayIcon::Connected ? icons.connected : icons.idle;
    }

    // Makes `target` show `items`: in place when the items are the same
    // kinds as before, else built anew, reusing the submenus it already has
    // so that a submenu open now stays open.
    void Fill(QMenu* target, const Menu& items) {
        if (SameShape(target, items)) {
            const QList<QAction*> actions = target->actions();
            for (qsizetype i = 0; i < actions.size(); ++i) {
                const MenuItem& item = items.Items()[std::size_t(i)];
                SetState(actions[i], item);
                if (item.submenu)
                    Fill(actions[i]->menu(), *item.submenu);
            }
            return;
        }
        QList<QMenu*> submenus = target->findChildren<QMenu*>(Qt::FindDirectChildrenOnly);
        target->clear();
        qsizetype used = 0;
        for (const MenuItem& item : items.Items()) {
            if (item.separator) {
                target->addSeparator();
            } else if (item.submenu) {
                QMenu* sub = used < submenus.size() ? submenus[used] : new QMenu(target);
                ++used;
                sub->setTitle(MenuText(item.text));
                Fill(sub, *item.submenu);
                SetState(target->addMenu(sub), item);
            } else {
                QAction* action = target->addAction(QString());
                SetState(action, item);
                // The id as the item carries it when chosen.
                QObject::connect(action, &QAction::triggered, &context,
                                 [this, action] { Choose(action->data().toInt()); });
            }
        }
        for (qsizetype i = used; i < submenus.size(); ++i)
            submenus[i]->deleteLater();
    }

    void Render() {
        if (model)
            Fill(&menu, *model);
    }

    // Runs the command from the event loop, once the menu has closed, so that
    // a command may open a dialog.
    void Choose(int id) {
        QMetaObject::invokeMethod(
            &context,
            [this, id] {
                if (onCommand)
                    onCommand(id);
            },
            Qt::QueuedConnection);
    }

    // What a click on the icon does: the menu at the pointer. On Wayland,
    // which has no pointer position to give, the window with the menu.
    void OpenMenu() {
        if (!CanPlacePopups()) {
            ShowWindow(/*besideTray*/ mode == Mode::Tray);
            window->raise();
            window->activateWindow();
            return;
        }
        Render();
        menu.popup(QCursor::pos());
    }

    // A tray host that can show our icon: of the kind the icon was made
    // for, once it is made. Never where Qt has no screen to show it on.
    bool Available() const {
        if (!hosts || !CanShowTrays())
            return false;
        if (tray)
            return trayOverBus ? hosts->statusNotifier : hosts->xembed;
        return hosts->statusNotifier || hosts->xembed;
    }

    static bool CanShowTrays() {
        const QString platform = QGuiApplication::platformName();
        return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
    }

    void MakeTray() {
        if (tray)
            return;
        trayOverBus = hosts && hosts->statusNotifier;
        tray = std::make_unique<QSystemTrayIcon>();
        tray->setIcon(StateIcon());
        // The icon's own menu: an XEmbed tray opens it on a right click, and
        // a StatusNotifierItem host reads and shows it over D-Bus (DBusMenu).
        tray->setContextMenu(&menu);
        QObject::connect(tray.get(), &QSystemTrayIcon::activated, &context,
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             // A left click, or a host's "Activate", opens the
                             // menu as a right click does. A host that asks for
                             // the menu instead of drawing it gets it too.
                             if (reason == QSystemTrayIcon::Trigger ||
                                 (reason == QSystemTrayIcon::Context && !menu.isVisible()))
                                 OpenMenu();
                         });
    }

    void IntoTray() {
        mode = Mode::Tray;
        MakeTray();
        tray->setIcon(StateIcon());
        tray->setToolTip(tooltip);
        tray->show();
        if (window)
            window->hide();
    }

    // The window; instead of the tray icon, or beside it.
    void ShowWindow(bool besideTray = false) {
        if (!besideTray) {
            mode = Mode::Window;
            if (tray)
                tray->hide(); // shown afresh when a tray host is back
        }
        if (!window) {
            window = std::make_unique<MenuWindow>(
                &menu, title, icons.application,
                tooltip + (besideTray
                               ? QString()
                               : QStringLiteral("\nThis desktop shows no tray; the menu is here.")),
                [this] { return mode == Mode::Tray; });
        }
        window->SetStateIcon(StateIcon());
        window->show();
    }

    // Looks for a tray host now and then: the tray while there is one, the
    // window (after the grace period at start) while there is none.
    void Look() {
        const bool available = Available();
        switch (mode) {
        case Mode::Waiting:
            if (available) {
                IntoTray();
                poll.start(kTrayPoll);
            } else if ((waited += kGraceStep) >= kGracePeriod) {
                ShowWindow();
                poll.start(kTrayPoll);
            }
            break;
        case Mode::Tray:
            if (!available)
                ShowWindow();
            break;
        case Mode::Window:
            if (available)
                IntoTray();
            break;
        case Mode::Off:
            break;
        }
    }
};

QtTrayHost::QtTrayHost(TrayIcons icons, std::string windowTitle)
    : m_impl(std::make_unique<Impl>()) {
    m_impl->icons = std::move(icons);
    m_impl->title = QString::fromStdString(windowTitle);
    QObject::connect(&m_impl->menu, &QMenu::aboutToShow, &m_impl->context, [impl = m_impl.get()] {
        if (impl->aboutToShow)
            impl->aboutToShow();
        impl->Render();
    });
    QObject::connect(&m_impl->poll, &QTimer::timeout, &m_impl->context,
                     [impl = m_impl.get()] { impl->Look(); });
}

QtTrayHost::~QtTrayHost() {
    m_impl->probe.reset();
    m_impl->poll.stop();
    m_impl->menu.close();
    m_impl->window.reset();
}

bool QtTrayHost::Add(const std::string& tooltip, const Menu& menu, Command onCommand) {
    Impl& impl = *m_impl;
    impl.tooltip = QString::fromStdString(tooltip);
    impl.model = &menu;
    impl.onCommand = std::move(onCommand);
    // The window may be the only one; closing it must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    impl.Render();
    // The tray host, if any, is looked for off the event loop; its answers
    // come back here. Meanwhile the grace period runs.
    impl.mode = Impl::Mode::Waiting;
    impl.waited = std::chrono::milliseconds(0);
    impl.poll.start(kGraceStep);
    if (!impl.probe)
        impl.probe = std::make_unique<TrayHostProbe>([p = &impl](TrayHosts hosts) {
            p->hosts = hosts;
            p->Look();
        });
    else
        impl.probe->LookNow();
    return true;
}

void QtTrayHost::SetIcon(TrayIcon icon) {
    Impl& impl = *m_impl;
    impl.state = icon;
    if (impl.tray)
        impl.tray->setIcon(impl.StateIcon());
    if (impl.window)
        impl.window->SetStateIcon(impl.StateIcon());
}

void QtTrayHost::MenuChanged() {
    // Always: a tray host over D-Bus shows the menu without opening it here.
    m_impl->Render();
}

void QtTrayHost::OnMenuAboutToShow(std::function<void()> call) {
    m_impl->aboutToShow = std::move(call);
}

void QtTrayHost::Remove() {
    Impl& impl = *m_impl;
    impl.mode = Impl::Mode::Off;
    impl.poll.stop();
    impl.menu.close();
    if (impl.tray)
        impl.tray->hide();
    if (impl.window)
        impl.window->hide();
}

QMenu* QtTrayHost::PopupMenu() const {
    return &m_impl->menu;
}

QSystemTrayIcon* QtTrayHost::Tray() const {
    return m_impl->tray.get();
}

QIcon QtTrayHost::ShownIcon() const {
    return m_impl->StateIcon();
}

QWidget* QtTrayHost::Window() const {
    return m_impl->window.get();
}

} // namespace pallorwind::platform
