// Where a program's icon and popup menu live: the desktop's tray, a small
// window with the same menu where no tray host runs, or nowhere (headless).
// The host reads the menu model each time the menu opens and reports the
// chosen item's command id; it never changes the model itself.
#pragma once

#include "platform/ui/Menu.h"

#include <functional>
#include <string>

namespace pallorwind::platform {

// Which of the program's icons the tray shows.
enum class TrayIcon { Idle, Connected };

class TrayHost {
public:
    using Command = std::function<void(int id)>;

    virtual ~TrayHost() = default;
    // Shows the icon with `tooltip`; its menu is `menu`, read each time it
    // opens, and choosing an item calls `onCommand` with its id on the main
    // thread. `menu` must outlive the host. False when no icon can be shown.
    virtual bool Add(const std::string& tooltip, const Menu& menu, Command onCommand) = 0;
    virtual void SetIcon(TrayIcon icon) = 0;
    // The menu model changed: a menu open now shows it as it stands.
    virtual void MenuChanged() = 0;
    // `call` runs on the main thread each time the menu is about to open,
    // before it is read: the owner may bring the model up to date.
    virtual void OnMenuAboutToShow(std::function<void()> /*call*/) {}
    // Takes the icon (or the window) away.
    virtual void Remove() = 0;
};

// Headless: no icon and no menu; Add succeeds so that the program runs on.
class NoTrayHost final : public TrayHost {
public:
    bool Add(const std::string&, const Menu&, Command) override { return true; }
    void SetIcon(TrayIcon) override {}
    void MenuChanged() override {}
    void Remove() override {}
};

} // namespace pallorwind::platform
