// The three small panels: the service name, the port and the MIDI name. Each
// opens from the event loop and answers through its callback when OK closes
// it; Cancel closes it without an answer.
#pragma once

#include <functional>
#include <string>

namespace pallorwind::osx {

class Panels {
public:
    virtual ~Panels() = default;
    // The text typed, as typed (it may be empty).
    virtual void ChooseName(std::function<void(std::string name)> onOk) = 0;
    // The number typed, 0 to 65535.
    virtual void ChoosePort(std::function<void(int port)> onOk) = 0;
    virtual void ChooseMidiName(std::function<void(std::string name)> onOk) = 0;
};

// Headless: no panel opens, so nothing is ever answered.
class NoPanels final : public Panels {
public:
    void ChooseName(std::function<void(std::string)>) override {}
    void ChoosePort(std::function<void(int)>) override {}
    void ChooseMidiName(std::function<void(std::string)>) override {}
};

} // namespace pallorwind::osx
