// Messages for the user. The tray program shows them in a message box; the
// headless program writes each as one line on standard error.
#pragma once

#include <string>

namespace pallorwind::platform {

class MessageSink {
public:
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;

protected:
    ~MessageSink() = default;
};

// Shows `text` through the installed sink, or on standard error when none is.
void ShowMessage(const std::string& text, const std::string& caption);
// Installs `sink` (not owned; nullptr restores standard error).
void SetMessageSink(MessageSink* sink);

} // namespace pallorwind::platform
