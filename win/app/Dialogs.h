// The tray program's own dialogs, as the controller opens them. Each opens
// from the event loop and answers through its callback when it closes; a
// dialog closed with Cancel (Escape, the close box) does not answer.
#pragma once

#include <functional>
#include <string>

namespace pallorwind::win {

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // "Choose Name": onOk gets the trimmed name, never empty.
    virtual void ChooseName(std::function<void(std::string name)> onOk) = 0;
    // "Choose Port": onOk gets the trimmed digits, 1 to 5 of them.
    virtual void ChoosePort(std::function<void(std::string port)> onOk) = 0;
    // The about box.
    virtual void About() = 0;
};

} // namespace pallorwind::win

namespace pallorwind::win {

// Headless: no dialog opens, and none answers (as if cancelled).
class NoDialogs final : public Dialogs {
public:
    void ChooseName(std::function<void(std::string)>) override {}
    void ChoosePort(std::function<void(std::string)>) override {}
    void About() override {}
};

} // namespace pallorwind::win
