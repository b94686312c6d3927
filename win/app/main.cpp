// pallorwind-win: the bridge between the controller app and this computer.
#include "platform/app/QuitOnSignal.h"
#include "win/app/LoggingController.h"

#include <QCoreApplication>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    LoggingController controller("", "0");
    pallorwind::platform::QuitOnSignal([&] {
        controller.Exit();
        QCoreApplication::exit(0);
    });
    controller.Start();
    return QCoreApplication::exec();
}
