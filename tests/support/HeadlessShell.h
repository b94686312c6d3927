// The tray program's controller as its headless mode builds it
// (win/app/CPallorwindOSXApp.cpp): no tray icon, no dialogs, the updater's
// questions, notice and messages through the one user-interface sink (here
// the test's), and no update check at start. Only the desktop differs: its
// ties are recorded here instead of written into the user's files.
//
//     test::HeadlessShell shell(ui);
//     win::CPallorwindOSXDlg controller(settings, midi, ui, shell.Parts(),
//                                       test::HeadlessOptions("studio-pc"));
//
// The shell outlives the controller built on it.
#pragma once

#include "platform/ui/TrayHost.h"
#include "platform/ui/UserInterface.h"
#include "tests/support/FakeShell.h"
#include "win/app/CPallorwindOSXDlg.h"
#include "win/app/Dialogs.h"
#include "win/update/SinkUpdateUi.h"

#include <string>
#include <utility>

namespace pallorwind::test {

struct HeadlessShell {
    explicit HeadlessShell(platform::UserInterface& ui) : updateUi(ui) {}
    win::ControllerShell Parts() { return {tray, dialogs, desktop, updateUi}; }

    platform::NoTrayHost tray;
    win::NoDialogs dialogs;
    FakeDesktop desktop;
    win::SinkUpdateUi updateUi;
};

// What the headless mode tells its controller, but for the computer's name.
inline win::ControllerOptions HeadlessOptions(std::string computerName) {
    win::ControllerOptions options;
    options.computerName = std::move(computerName);
    return options;
}

} // namespace pallorwind::test
