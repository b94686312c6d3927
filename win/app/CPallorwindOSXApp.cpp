#include "win/app/CPallorwindOSXApp.h"

#include "platform/app/BoundedRelease.h"
#include "platform/app/Display.h"
#include "platform/app/Log.h"
#include "platform/app/QuitOnSignal.h"
#include "platform/app/RuntimeDir.h"
#include "platform/app/StandardOptions.h"
#include "platform/desktop/SystemPackage.h"
#include "platform/desktop/XdgDesktop.h"
#include "platform/dnssd/DnsSd.h"
#include "platform/midi/MidiDevices.h"
#include "platform/net/HostAddresses.h"
#include "platform/settings/QtSettings.h"
#include "platform/ui/QtTrayHost.h"
#include "platform/ui/UserInterface.h"
#include "platform/ui/WidgetUserInterface.h"
#include "res/Resources.h"
#include "win/app/CPallorwindOSXDlg.h"
#include "win/app/QtDialogs.h"
#include "win/app/StoredUpdateSettings.h"
#include "win/net/DnsSdAdvertiser.h"
#include "win/update/ExecutableVersion.h"
#include "win/update/SinkUpdateUi.h"
#include "win/update/UpdateCheck.h"

#include <QApplication>
#include <QCoreApplication>
#include <QSysInfo>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>

namespace pallorwind::win {
namespace {

const char kUsage[] =
    "Usage: pallorwind-win [--headless | --update]\n"
    "Bridges the MIDI-controller app and this computer's MIDI devices: listens for\n"
    "the app on TCP, plays what it sends on the chosen MIDI output and sends what\n"
    "arrives on the chosen MIDI input back to it. Settings are read from the\n"
    "per-user configuration (Pallorwind/PallorwindWIN). SIGINT or SIGTERM exits.\n"
    "\n"
    "On a desktop it shows a tray icon with the bridge's menu (or, where the\n"
    "desktop has no tray, a small window with the same menu).\n"
    "\n"
    "  --headless  run without a tray icon or dialogs; messages go to standard\n"
    "              error (also the mode when there is no display)\n"
    "  --update    check for a newer version, install it, and exit\n"
    "  --help      show this text and exit\n"
    "  --version   show the version and exit\n";

// -1 to run the bridge, otherwise the exit code.
int HandleArguments(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        // The version the updater reads from this very file.
        if (const int code =
                platform::AnswerHelpOrVersion(argv[i], "pallorwind-win", kUsage, EmbeddedVersion());
            code >= 0)
            return code;
        if (std::strcmp(argv[i], "--headless") != 0 && std::strcmp(argv[i], "--update") != 0)
            return platform::UnknownArgument("pallorwind-win", argv[i]);
    }
    return -1;
}

// The running executable, for the start-at-login entry and the updater.
std::string ExecutablePath() {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? QCoreApplication::applicationFilePath().toStdString() : path.string();
}

// What differs between the modes: where the menu lives and how the user is
// told and asked.
struct Shell {
    std::unique_ptr<platform::TrayHost> tray;
    std::unique_ptr<platform::UserInterface> ui;
    std::unique_ptr<Dialogs> dialogs;
    std::unique_ptr<UpdateUi> updateUi;
    platform::XdgDesktop desktop;
};

Shell DesktopShell() {
    Shell shell;
    shell.tray = std::make_unique<platform::QtTrayHost>(
        platform::TrayIcons{QIcon(QString::fromLatin1(res::kIdleIcon)),
                            QIcon(QString::fromLatin1(res::kConnectedIcon)),
                            QIcon(QString::fromLatin1(res::kAppIcon))},
        kTrayTip);
    shell.ui = std::make_unique<platform::WidgetUserInterface>();
    shell.dialogs = std::make_unique<QtDialogs>(EmbeddedVersion());
    shell.updateUi = std::make_unique<SinkUpdateUi>(*shell.ui);
    return shell;
}

Shell HeadlessShell() {
    Shell shell;
    shell.tray = std::make_unique<platform::NoTrayHost>();
    shell.ui = std::make_unique<platform::HeadlessUserInterface>();
    shell.dialogs = std::make_unique<NoDialogs>();
    shell.updateUi = std::make_unique<SinkUpdateUi>(*shell.ui);
    return shell;
}

int RunBridge(bool headless) {
    res::InitResources();
    platform::QtSettings store(kSettingsOrganisation, kSettingsApplication);
    SettingsStore settings(store);
    Shell shell = headless ? HeadlessShell() : DesktopShell();
    // Other MIDI programs see the bridge as one client with the ports "in" and "out".
    auto midi = midi::CreateMidiSystem(
        {"pallorwind-win", [](const std::string& line) { platform::Log::Line(line); }});
    int result = 0;
    {
        ControllerOptions options;
        options.computerName = QSysInfo::machineHostName().toStdString();
        options.addresses = platform::HostAddresses();
        options.readAddresses = [] { return platform::HostAddresses(); };
        options.executablePath = ExecutablePath();
        options.startupUpdateCheck = !headless;
        options.installedByPackage =
            platform::InstalledByPackage(options.executablePath, kPackageName);
        options.quit = [] { QCoreApplication::exit(0); };
        CPallorwindOSXDlg controller(
            settings, *midi, *shell.ui,
            ControllerShell{*shell.tray, *shell.dialogs, shell.desktop, *shell.updateUi},
            std::move(options));
        platform::QuitOnSignal([&] { controller.OnCommand(kIdExit); });
        controller.SetAdvertiserFactory(MakeDnsSdAdvertiserFactory(&controller));
        if (controller.Start())
            result = QCoreApplication::exec();
        else
            platform::Log::Line(kTextTrayFailed);
    }
    // What shows the update's progress goes before the sink it shows through.
    { Shell gone = std::move(shell); }
    // The MIDI system's own connections close last; a MIDI server that
    // stands still does not hold the exit for good.
    platform::ReleaseWithin(std::move(midi), std::chrono::seconds(2));
    return result;
}

// True when the program runs without a desktop: --headless, or no display
// that answers (which is said in one line).
bool RunsHeadless(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--headless") == 0)
            return true;
    std::string why;
    if (platform::UseDisplay(why))
        return false;
    if (!why.empty())
        platform::Log::Line(why);
    return true;
}

} // namespace

int CPallorwindOSXApp::Run(int argc, char* argv[]) {
    platform::QuietDnsSdLibrary();
    if (const int code = HandleArguments(argc, argv); code >= 0)
        return code;
    if (HasUpdateArgument(argc, argv)) {
        if (platform::InstalledByPackage(ExecutablePath(), kPackageName)) {
            platform::Log::Rawf("pallorwind-win: %s", kTextUpdateByPackage);
            return 1;
        }
        QCoreApplication app(argc, argv);
        platform::QtSettings store(kSettingsOrganisation, kSettingsApplication);
        SettingsStore settings(store);
        StoredUpdateSettings updateSettings(settings);
        return RunHeadlessUpdate(updateSettings, std::cout);
    }
    // Before Qt looks for the runtime folder (an update needs none).
    platform::UserRuntimeDir();
    if (RunsHeadless(argc, argv)) {
        QCoreApplication app(argc, argv);
        return RunBridge(true);
    }
    QApplication app(argc, argv);
    return RunBridge(false);
}

} // namespace pallorwind::win
