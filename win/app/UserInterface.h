// What the bridge's logic needs from the user interface: message boxes.
#pragma once

#include <string>

namespace pallorwind::app {

inline constexpr const char* kCaption = "PallorwindWin";

class UserInterface {
public:
    virtual ~UserInterface() = default;
    // A message with a single OK button; returns when it has been closed.
    virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
};

// Without a display: every message is one line on standard error.
class StderrUserInterface final : public UserInterface {
public:
    void MessageBox(const std::string& text, const std::string& caption) override;
};

// The message as one line: line breaks become spaces.
std::string OneLine(const std::string& caption, const std::string& text);

} // namespace pallorwind::app
