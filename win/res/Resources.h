// The tray program's icons, compiled in from pallorwind-win.qrc.
//
// Use: link the target `pallorwind_win_resources` and call
// win::InitResources() once after the QApplication exists (it is cheap and
// safe to call again); then load the paths below, e.g.
// QIcon(QString::fromLatin1(win::kIdleIcon)). The call also makes sure the
// linker keeps the resources when they come from a static library. SVG icons
// need Qt's SVG icon engine plugin (Debian package qt6-svg-dev / libqt6svg6).
#pragma once

namespace pallorwind::win {

inline constexpr const char* kAppIcon = ":/pallorwind-win/app.svg";
inline constexpr const char* kIdleIcon = ":/pallorwind-win/idle.svg";
inline constexpr const char* kConnectedIcon = ":/pallorwind-win/connected.svg";
inline constexpr const char* kLayoutFileIcon = ":/pallorwind-win/plw.svg";

// The layout file type, as the installed MIME package
// (application-x-pallorwind-layout.xml) declares it too.
inline constexpr const char* kLayoutMimeType = "application/x-pallorwind-layout";
inline constexpr const char* kLayoutGlob = "*.plw";
inline constexpr const char* kLayoutComment = "Pallorwind File";

// Registers the compiled-in resources with Qt.
void InitResources();

} // namespace pallorwind::win
