// pallorwind-win: the bridge between the controller app and this computer.
#include "platform/app/QuitOnSignal.h"
#include "platform/dnssd/DnsSd.h"
#include "platform/midi/MidiDevices.h"
#include "platform/ui/UserInterface.h"
#include "win/app/BridgeController.h"
#include "win/app/QtSettingsStore.h"
#include "win/net/DnsSdAdvertiser.h"
#include "win/update/ExecutableVersion.h"
#include "win/update/UpdateCheck.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <iostream>
#include <memory>
#include <thread>

namespace {

const char kUsage[] =
    "Usage: pallorwind-win [--headless | --update]\n"
    "Bridges the MIDI-controller app and this computer's MIDI devices: listens for\n"
    "the app on TCP, plays what it sends on the chosen MIDI output and sends what\n"
    "arrives on the chosen MIDI input back to it. Settings are read from the\n"
    "per-user configuration (Pallorwind/PallorwindWIN). SIGINT or SIGTERM exits.\n"
    "\n"
    "  --headless  run without a tray icon; messages go to standard error\n"
    "              (the only mode for now)\n"
    "  --update    check for a newer version, install it, and exit\n"
    "  --help      show this text and exit\n"
    "  --version   show the version and exit\n";

// The MIDI system's own connections close last. A MIDI server that stands
// still would hold that for good; the program ends regardless after a while.
void ReleaseMidiSystem(std::unique_ptr<pallorwind::midi::MidiSystem> system) {
    std::packaged_task<void()> release([s = std::move(system)]() mutable { s.reset(); });
    std::future<void> released = release.get_future();
    std::thread(std::move(release)).detach();
    released.wait_for(std::chrono::seconds(2));
}

// -1 to run the bridge, otherwise the exit code.
int HandleArguments(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            // The version the updater reads from this very file.
            std::printf("pallorwind-win %s\n", pallorwind::win::EmbeddedVersion().c_str());
            return 0;
        }
        if (std::strcmp(argv[i], "--headless") != 0 && std::strcmp(argv[i], "--update") != 0) {
            std::fprintf(stderr, "pallorwind-win: unknown argument \"%s\"\n%s", argv[i], kUsage);
            return 2;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[]) {
    pallorwind::platform::QuietDnsSdLibrary();
    if (const int code = HandleArguments(argc, argv); code >= 0)
        return code;
    QCoreApplication app(argc, argv);
    pallorwind::win::QtSettingsStore settings;
    if (pallorwind::win::HasUpdateArgument(argc, argv))
        return pallorwind::win::RunHeadlessUpdate(settings, std::cout);
    pallorwind::platform::HeadlessUserInterface ui;
    // Other MIDI programs see the bridge as one client with the ports "in" and "out".
    auto midi = pallorwind::midi::CreateMidiSystem(
        {"pallorwind-win",
         [](const std::string& line) { std::fprintf(stderr, "pallorwind: %s\n", line.c_str()); }});
    int result = 0;
    {
        pallorwind::win::BridgeController controller(settings, *midi, ui,
                                                     QSysInfo::machineHostName().toStdString());
        pallorwind::platform::QuitOnSignal([&] {
            controller.Exit();
            QCoreApplication::exit(0);
        });
        controller.SetAdvertiserFactory(pallorwind::win::MakeDnsSdAdvertiserFactory(&controller));
        controller.Start();
        result = QCoreApplication::exec();
    }
    ReleaseMidiSystem(std::move(midi));
    return result;
}
