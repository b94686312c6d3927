// What the bridge's logic needs from the user interface: message boxes.
#pragma once

#include <string>

namespace pallorwind::win {

inline constexpr const char* kCaption = "PallorwindWin";

class UserInterface {
public:
    virtual ~UserInterface() = default;
    // A message with a single OK button; returns when it has been closed.
    virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
};

// The program's own message boxes: one line on standard error when headless.
class PlatformUserInterface final : public UserInterface {
public:
    void MessageBox(const std::string& text, const std::string& caption) override;
};

} // namespace pallorwind::win
