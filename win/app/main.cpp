// pallorwind-win: the bridge between the controller app and this computer.
#include "platform/app/QuitOnSignal.h"
#include "platform/midi/MidiDevices.h"
#include "win/app/BridgeController.h"
#include "win/app/QtSettingsStore.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

// The MIDI system's own connections close last. A MIDI server that stands
// still would hold that for good; the program ends regardless after a while.
void ReleaseMidiSystem(std::unique_ptr<pallorwind::midi::MidiSystem> system) {
    std::packaged_task<void()> release([s = std::move(system)]() mutable { s.reset(); });
    std::future<void> released = release.get_future();
    std::thread(std::move(release)).detach();
    released.wait_for(std::chrono::seconds(2));
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    pallorwind::win::QtSettingsStore settings;
    pallorwind::win::PlatformUserInterface ui;
    auto midi = pallorwind::midi::CreateMidiSystem();
    int result = 0;
    {
        pallorwind::win::BridgeController controller(settings, *midi, ui,
                                                     QSysInfo::machineHostName().toStdString());
        pallorwind::platform::QuitOnSignal([&] {
            controller.Exit();
            QCoreApplication::exit(0);
        });
        controller.Start();
        result = QCoreApplication::exec();
    }
    ReleaseMidiSystem(std::move(midi));
    return result;
}
