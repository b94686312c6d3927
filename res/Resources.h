// The icons both programs show, compiled in from pallorwind.qrc, and the
// layout file type that both open (application-x-pallorwind-layout.xml
// installs it).
//
// Use: link the target `pallorwind_res` and call res::InitResources() once
// after the QApplication exists (it is cheap and safe to call again); then
// load the paths below, e.g. QIcon(QString::fromLatin1(res::kIdleIcon)). The
// call also makes sure the linker keeps the resources when they come from a
// static library. SVG icons need Qt's SVG icon engine plugin (Debian package
// qt6-svg-dev / libqt6svg6).
#pragma once

namespace pallorwind::res {

inline constexpr const char* kAppIcon = ":/pallorwind/app.svg";
inline constexpr const char* kIdleIcon = ":/pallorwind/idle.svg";
inline constexpr const char* kConnectedIcon = ":/pallorwind/connected.svg";
inline constexpr const char* kLayoutFileIcon = ":/pallorwind/plw.svg";

// The layout file type, as the installed MIME package
// (application-x-pallorwind-layout.xml) declares it too.
inline constexpr const char* kLayoutMimeType = "application/x-pallorwind-layout";
inline constexpr const char* kLayoutGlob = "*.plw";
inline constexpr const char* kLayoutComment = "Pallorwind File";

// Registers the compiled-in resources with Qt.
void InitResources();

} // namespace pallorwind::res
