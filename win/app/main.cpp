// pallorwind-win: the bridge between the controller app and this computer.
#include "platform/app/QuitOnSignal.h"
#include "platform/midi/MidiDevices.h"
#include "win/app/BridgeController.h"
#include "win/app/QtSettingsStore.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    pallorwind::win::QtSettingsStore settings;
    pallorwind::win::PlatformUserInterface ui;
    // Other MIDI programs see the bridge as one client with the ports "in" and "out".
    const auto midi = pallorwind::midi::CreateMidiSystem(
        {"pallorwind-win",
         [](const std::string& line) { std::fprintf(stderr, "pallorwind: %s\n", line.c_str()); }});
    pallorwind::win::BridgeController controller(settings, *midi, ui,
                                                 QSysInfo::machineHostName().toStdString());
    pallorwind::platform::QuitOnSignal([&] {
        controller.Exit();
        QCoreApplication::exit(0);
    });
    controller.Start();
    return QCoreApplication::exec();
}
