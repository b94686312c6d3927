// The controller's surroundings in memory: a tray host that records what it
// shows, dialogs that wait for the test to answer them, and a desktop that
// records what it was asked to do.
#pragma once

#include "platform/desktop/Desktop.h"
#include "platform/ui/TrayHost.h"
#include "win/app/Dialogs.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace pallorwind::test {

class FakeTrayHost final : public platform::TrayHost {
public:
    bool Add(const std::string& tip, const platform::Menu& shown, Command onCommand) override {
        ++added;
        tooltip = tip;
        menu = &shown;
        command = std::move(onCommand);
        return addResult;
    }
    void SetIcon(platform::TrayIcon icon) override { icons.push_back(icon); }
    void MenuChanged() override { ++changes; }
    void OnMenuAboutToShow(std::function<void()> call) override { aboutToShow = std::move(call); }
    void Remove() override { ++removed; }
    // Opens the menu, as a click on the icon does.
    void Open() {
        if (aboutToShow)
            aboutToShow();
    }

    // Chooses the item with `id`, as a click in the menu does.
    void Choose(int id) { command(id); }
    platform::TrayIcon Icon() const {
        return icons.empty() ? platform::TrayIcon::Idle : icons.back();
    }

    bool addResult = true;
    int added = 0;
    int removed = 0;
    int changes = 0;
    std::string tooltip;
    const platform::Menu* menu = nullptr;
    Command command;
    std::function<void()> aboutToShow;
    std::vector<platform::TrayIcon> icons; // every SetIcon, in order
};

// Each dialog stays "open" until the test answers it (or never does, as when
// it is cancelled).
class FakeDialogs final : public win::Dialogs {
public:
    void ChooseName(std::function<void(std::string)> onOk) override { name = std::move(onOk); }
    void ChoosePort(std::function<void(std::string)> onOk) override { port = std::move(onOk); }
    void About() override { ++abouts; }

    std::function<void(std::string)> name;
    std::function<void(std::string)> port;
    int abouts = 0;
};

class FakeDesktop final : public platform::Desktop {
public:
    void RegisterFileType(const platform::FileType& type) override { fileTypes.push_back(type); }
    void SetStartAtLogin(const platform::LoginItem& item, bool on) override {
        loginItems.emplace_back(item, on);
    }
    void OpenUrl(const std::string& url) override { urls.push_back(url); }

    std::vector<platform::FileType> fileTypes;
    std::vector<std::pair<platform::LoginItem, bool>> loginItems;
    std::vector<std::string> urls;
};

} // namespace pallorwind::test
