// The desktop ties on a freedesktop.org (XDG) desktop, for the current user:
// file types as shared-mime-info packages, start at login as an autostart
// entry, web pages through the user's browser.
#pragma once

#include "platform/desktop/Desktop.h"

namespace pallorwind::platform {

// Data files go under $XDG_DATA_HOME (default ~/.local/share), the autostart
// entry under $XDG_CONFIG_HOME (default ~/.config), both read at each call.
// Errors are ignored, each logged as one line on standard error.
class XdgDesktop final : public Desktop {
public:
    XdgDesktop() = default;

    // Writes mime/packages/<type>.xml (the MIME type with "/" as "-") and
    // copies the icon (any path QFile reads, ":/" resources too) to
    // icons/hicolor/scalable/mimetypes/<type>.svg (other image formats go to
    // 48x48). Files are rewritten only when their content changes; then, or
    // while the MIME database does not know the type (as after an install of
    // the same package), update-mime-database runs as a detached process,
    // when it is installed.
    void RegisterFileType(const FileType& type) override;
    // Writes autostart/<id>.desktop atomically (on), or removes it (off).
    void SetStartAtLogin(const LoginItem& item, bool on) override;
    void OpenUrl(const std::string& url) override;
};

// `path` as one argument of a desktop entry's Exec key: quoted when it needs
// quoting, with the escapes the Desktop Entry Specification asks for.
std::string DesktopExecArgument(const std::string& path);

} // namespace pallorwind::platform
