// pallorwind-win: the bridge between the controller app and this computer.
#include "platform/app/QuitOnSignal.h"
#include "platform/midi/MidiDevices.h"
#include "win/app/BridgeController.h"
#include "win/app/QtSettingsStore.h"
#include "win/net/DnsSdAdvertiser.h"

#include <QCoreApplication>
#include <QSysInfo>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    pallorwind::win::QtSettingsStore settings;
    pallorwind::win::PlatformUserInterface ui;
    const auto midi = pallorwind::midi::CreateMidiSystem();
    pallorwind::win::BridgeController controller(settings, *midi, ui,
                                                 QSysInfo::machineHostName().toStdString());
    controller.SetAdvertiserFactory(pallorwind::win::MakeDnsSdAdvertiserFactory(&controller));
    pallorwind::platform::QuitOnSignal([&] {
        controller.Exit();
        QCoreApplication::exit(0);
    });
    controller.Start();
    return QCoreApplication::exec();
}
