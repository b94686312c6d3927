// The tray icon and its popup menu with Qt Widgets. Where the desktop runs a
// tray host, a QSystemTrayIcon that carries the menu as its own (so that
// StatusNotifierItem hosts, which draw the menu themselves, get it over
// D-Bus); where it runs none, a small window with the same menu, which moves
// into the tray as soon as a tray host appears.
#pragma once

#include "platform/ui/TrayHost.h"

#include <QIcon>

#include <memory>
#include <string>

class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace pallorwind::platform {

struct TrayIcons {
    QIcon idle;        // no app connected
    QIcon connected;   // one or more apps connected
    QIcon application; // the window's icon
};

// Needs a QApplication. Everything runs on the main thread.
class QtTrayHost final : public TrayHost {
public:
    QtTrayHost(TrayIcons icons, std::string windowTitle);
    ~QtTrayHost() override;

    // Shows the tray icon when a tray host runs now or within about a second,
    // else the window. Closing the window does not end the program: it only
    // minimises it, or hides it while the icon is in the tray (the menu's own
    // command ends the program). A click on the icon (or a host's "Activate")
    // opens the menu at the pointer; on Wayland, where a program cannot place
    // a popup, it brings up the window instead.
    bool Add(const std::string& tooltip, const Menu& menu, Command onCommand) override;
    void SetIcon(TrayIcon icon) override;
    // Renders the model at once, open or not: a D-Bus tray host reads it
    // without opening it here.
    void MenuChanged() override;
    void OnMenuAboutToShow(std::function<void()> call) override;
    void Remove() override;

    // What the host shows; for tests and diagnostics.
    QMenu* PopupMenu() const;
    QSystemTrayIcon* Tray() const; // null until a tray host was found
    QIcon ShownIcon() const;       // the state icon, in the tray or the window
    QWidget* Window() const;       // null until the window was needed

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace pallorwind::platform
