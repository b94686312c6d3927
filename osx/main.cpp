// pallorwind: virtual MIDI ports for the controller app, one app at a time,
// and its layout files both ways.
#include "osx/Pallorwind.h"
#include "osx/Preferences.h"
#include "osx/QtPanels.h"
#include "platform/app/BoundedRelease.h"
#include "platform/app/Display.h"
#include "platform/app/Log.h"
#include "platform/app/QuitOnSignal.h"
#include "platform/app/RuntimeDir.h"
#include "platform/app/SingleInstance.h"
#include "platform/app/StandardOptions.h"
#include "platform/dnssd/DnsSd.h"
#include "platform/midi/VirtualMidiPorts.h"
#include "platform/net/HostAddresses.h"
#include "platform/settings/QtSettings.h"
#include "platform/ui/QtTrayHost.h"
#include "platform/ui/UserInterface.h"
#include "platform/ui/WidgetUserInterface.h"
#include "res/Resources.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

const char kUsage[] =
    "Usage: pallorwind [--headless] [FILE.plw | --send-layout FILE]\n"
    "Offers the MIDI-controller app to this computer's MIDI programs as the\n"
    "virtual ports \"Pallorwind\": listens for one app at a time on TCP, plays\n"
    "what it sends on the ports' source and sends what other programs play to\n"
    "the ports' destination back to it. Layouts that the app sends are saved on\n"
    "the Desktop. Preferences: per-user configuration (Pallorwind/Pallorwind).\n"
    "SIGINT or SIGTERM exits.\n"
    "\n"
    "  FILE, --send-layout FILE  send the layout FILE to the app, now or as soon\n"
    "                            as one connects; a pallorwind already running\n"
    "                            takes the file over and this start ends\n"
    "  --headless  run without a status icon; messages go to standard error\n"
    "              (also the mode when there is no display)\n"
    "  --help      show this text and exit\n"
    "  --version   show the version and exit\n";

struct Arguments {
    bool headless = false;
    std::string layout; // empty: none
};

// -1 to run, otherwise the exit code.
int ParseArguments(int argc, char* argv[], Arguments& args) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (const int code = pallorwind::platform::AnswerHelpOrVersion(arg, "pallorwind", kUsage,
                                                                       PALLORWIND_VERSION);
            code >= 0)
            return code;
        if (std::strcmp(arg, "--headless") == 0) {
            args.headless = true;
            continue;
        }
        const bool option = std::strcmp(arg, "--send-layout") == 0;
        if (option && i + 1 >= argc) {
            pallorwind::platform::Log::Line("--send-layout needs a file (see --help)");
            return 2;
        }
        if (!option && arg[0] == '-')
            return pallorwind::platform::UnknownArgument("pallorwind", arg);
        const char* file = option ? argv[++i] : arg;
        if (!args.layout.empty()) {
            pallorwind::platform::Log::Line("one layout at a time");
            return 2;
        }
        if (!QFileInfo(QString::fromLocal8Bit(file)).isFile()) {
            pallorwind::platform::Log::Linef("no such layout file \"%s\"", file);
            return 1;
        }
        args.layout = file;
    }
    return -1;
}

// The first address of this computer an app can reach.
std::string ComputerAddress() {
    const auto addresses = pallorwind::platform::HostAddresses();
    return addresses && !addresses->empty() ? addresses->front() : "127.0.0.1";
}

void LogLine(const std::string& line) {
    pallorwind::platform::Log::Line(line);
}

int Run(Arguments args, bool headless) {
    using namespace pallorwind;
    // One bridge per user: a later start hands its layout file (or nothing)
    // to the running one and ends.
    osx::Pallorwind* running = nullptr;
    platform::SingleInstance instance(QStringLiteral("pallorwind"));
    const QString file =
        args.layout.empty()
            ? QString()
            : QFileInfo(QString::fromLocal8Bit(args.layout.c_str())).absoluteFilePath();
    switch (instance.Start(file, [&running](const QString& message) {
        if (running && !message.isEmpty())
            running->OpenFileWhenConnected(message.toLocal8Bit().toStdString());
    })) {
    case platform::SingleInstance::Result::Delivered:
        if (file.isEmpty())
            LogLine("already running");
        else
            platform::Log::Linef("handed \"%s\" to the running pallorwind",
                                 file.toLocal8Bit().constData());
        return 0;
    case platform::SingleInstance::Result::Failed:
        // Another bridge with the same ports and service would only confuse
        // the MIDI programs and the app.
        LogLine("a pallorwind is running but did not answer; not starting a second one");
        return 1;
    case platform::SingleInstance::Result::Unavailable:
        if (const std::string& problem = platform::UserRuntimeDir().problem; !problem.empty())
            LogLine("no private folder for the single-instance socket (" + problem +
                    "); running on its own");
        else
            LogLine("cannot make the socket that finds a running pallorwind; running on its own");
        break;
    case platform::SingleInstance::Result::First:
        break;
    }
    platform::QtSettings store(osx::kPrefsOrganisation, osx::kPrefsApplication);
    osx::Preferences prefs(store);
    // Other MIDI programs see one client "Pallorwind" with the bridge's two ports.
    auto midi = midi::CreateVirtualMidiSystem({"Pallorwind", LogLine});

    std::unique_ptr<platform::UserInterface> ui;
    std::unique_ptr<platform::TrayHost> tray;
    std::unique_ptr<osx::Panels> panels;
    if (headless) {
        ui = std::make_unique<platform::HeadlessUserInterface>();
        tray = std::make_unique<platform::NoTrayHost>();
        panels = std::make_unique<osx::NoPanels>();
    } else {
        res::InitResources();
        ui = std::make_unique<platform::WidgetUserInterface>();
        tray = std::make_unique<platform::QtTrayHost>(
            platform::TrayIcons{QIcon(QString::fromLatin1(res::kIdleIcon)),
                                QIcon(QString::fromLatin1(res::kConnectedIcon)),
                                QIcon(QString::fromLatin1(res::kAppIcon))},
            "Pallorwind");
        panels = std::make_unique<osx::QtPanels>();
    }

    osx::PallorwindContext context;
    context.prefs = &prefs;
    context.midi = midi.get();
    context.tray = tray.get();
    context.panels = panels.get();
    context.ui = ui.get();
    context.desktop =
        QStandardPaths::writableLocation(QStandardPaths::DesktopLocation).toStdString();
    context.home = QDir::homePath().toStdString();
    context.address = ComputerAddress();
    context.quit = [] { QCoreApplication::exit(0); };

    int result = 0;
    {
        osx::Pallorwind controller(std::move(context));
        platform::QuitOnSignal([] { QCoreApplication::exit(0); });
        running = &controller;
        controller.AwakeFromNib();
        if (!args.layout.empty())
            controller.OpenFileWhenConnected(args.layout);
        result = QCoreApplication::exec();
        running = nullptr;
    }
    panels.reset();
    tray.reset();
    ui.reset();
    // The MIDI system's own connection closes last; a MIDI server that
    // stands still does not hold the exit for good.
    platform::ReleaseWithin(std::move(midi), std::chrono::seconds(2));
    return result;
}

} // namespace

int main(int argc, char* argv[]) {
    pallorwind::platform::QuietDnsSdLibrary();
    Arguments args;
    if (const int code = ParseArguments(argc, argv, args); code >= 0)
        return code;
    // Before Qt looks for the runtime folder.
    pallorwind::platform::UserRuntimeDir();
    std::string why;
    const bool headless = args.headless || !pallorwind::platform::UseDisplay(why);
    if (!args.headless && !why.empty())
        pallorwind::platform::Log::Line(why);
    if (headless) {
        QCoreApplication app(argc, argv);
        return Run(std::move(args), true);
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return Run(std::move(args), false);
}
