// The program's ties to the desktop: its file type, starting at login, and
// opening a web page. Names and paths come in as parameters; nothing here is
// program-specific.
#pragma once

#include <string>

namespace pallorwind::platform {

// A file type: files matching `glob` are of `mimeType`, described as
// `comment` and shown with `iconPath`.
struct FileType {
    std::string mimeType; // e.g. "application/x-example"
    std::string glob;     // e.g. "*.ext"
    std::string comment;
    std::string iconPath; // an image file; empty: no icon
};

// A start-at-login entry named `id` that runs `executable`.
struct LoginItem {
    std::string id; // the entry's file name without ".desktop"
    std::string name;
    std::string executable;
};

class Desktop {
public:
    virtual ~Desktop() = default;
    // Registers the file type for this user; errors are ignored.
    virtual void RegisterFileType(const FileType& type) = 0;
    // Adds (on) or removes (off) the start-at-login entry; errors are ignored.
    virtual void SetStartAtLogin(const LoginItem& item, bool on) = 0;
    // Opens `url` in the user's browser; the result is ignored.
    virtual void OpenUrl(const std::string& url) = 0;
};

} // namespace pallorwind::platform
