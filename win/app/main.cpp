// pallorwind-win: the bridge between the controller app and this computer.
#include "win/app/CPallorwindOSXApp.h"

int main(int argc, char* argv[]) {
    return pallorwind::win::CPallorwindOSXApp().Run(argc, argv);
}
