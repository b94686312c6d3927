// The program object of pallorwind-win: reads the command line, picks the
// mode and runs the controller in it until "Exit" or a signal.
//
// Modes: with a display, a QApplication with the tray icon (or, where no tray
// host runs, a small window with the same menu, which moves into the tray
// once one appears), message boxes and dialogs. Without a display (neither
// DISPLAY nor WAYLAND_DISPLAY names one that answers) or with --headless, a
// QCoreApplication: no icon, no dialogs, messages as lines on standard error
// and questions answered Cancel or No.
#pragma once

namespace pallorwind::win {

class CPallorwindOSXApp {
public:
    // The exit code.
    int Run(int argc, char* argv[]);
};

} // namespace pallorwind::win
