// Layout files on this computer: the ones the app sends are saved, the ones
// the user opens are read to be sent.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pallorwind::osx {

// The name the app sent, made safe as one file name in one folder, without
// the extension (the wire protocol's rule for received layout names).
std::string LayoutFileName(std::string_view name);

// The folder received layouts go to: `desktop`, made when missing; `home`
// when it cannot be made.
std::string LayoutFolder(const std::string& desktop, const std::string& home);

struct SavedLayout {
    bool ok = false;
    std::string path;     // where the file went
    bool renamed = false; // the name was cleaned, or a file of that name existed
    std::string error;    // why it was not saved
};

// Writes `content` as "<folder>/<clean name>.plw" in full before the file
// appears under its name, and never replaces an existing file: the name then
// gets " (2)", " (3)" and so on.
SavedLayout SaveLayout(const std::string& folder, std::string_view name, std::string_view content);

// The file's bytes, or nothing (with `error`) when it cannot be read or is
// larger than a layout may be.
std::optional<std::string> ReadLayoutFile(const std::string& path, std::string& error);

// The file's last path component, as the app is given it.
std::string LayoutSendName(const std::string& path);

} // namespace pallorwind::osx
