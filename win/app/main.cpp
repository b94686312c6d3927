// pallorwind-win: the bridge between the controller app and this computer.
#include "platform/app/QuitOnSignal.h"
#include "platform/midi/MidiDevices.h"
#include "platform/ui/UserInterface.h"
#include "win/app/BridgeController.h"
#include "win/app/QtSettingsStore.h"

#include <QCoreApplication>
#include <QSysInfo>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    pallorwind::win::QtSettingsStore settings;
    pallorwind::platform::HeadlessUserInterface ui;
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
