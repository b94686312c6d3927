// pallorwind-win: the bridge between the controller app and this computer.
#include "platform/app/QuitOnSignal.h"
#include "platform/midi/MidiDevices.h"
#include "win/app/BridgeController.h"
#include "win/app/QtSettingsStore.h"
#include "win/update/UpdateCheck.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <iostream>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    pallorwind::win::QtSettingsStore settings;
    if (pallorwind::win::HasUpdateArgument(argc, argv))
        return pallorwind::win::RunHeadlessUpdate(settings, std::cout);
    pallorwind::win::PlatformUserInterface ui;
    const auto midi = pallorwind::midi::CreateMidiSystem();
    pallorwind::win::BridgeController controller(settings, *midi, ui,
                                                 QSysInfo::machineHostName().toStdString());
    pallorwind::platform::QuitOnSignal([&] {
        controller.Exit();
        QCoreApplication::exit(0);
    });
    controller.Start();
    return QCoreApplication::exec();
}
