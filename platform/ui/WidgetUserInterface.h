// Message boxes and questions as Qt widgets, for a program with a desktop.
#pragma once

#include "platform/ui/UserInterface.h"

#include <memory>

namespace pallorwind::platform {

// Each request opens a QMessageBox (a notice: a NoticeDialog) from the event loop with open(),
// never exec(): no nested event loop runs, and the answer arrives through the question's callback
// when the box is closed. Progress is one QProgressDialog, shown with show() (the rest of the
// program stays usable) and closed by EndProgress(); its Cancel button, Escape and its close box
// call the progress's onCancel. Boxes still open when this is destroyed are closed without an
// answer.
class WidgetUserInterface final : public QueuedUserInterface {
public:
    WidgetUserInterface();
    ~WidgetUserInterface() override;

protected:
    void Show(Request request) override;

private:
    struct Boxes;
    std::unique_ptr<Boxes> m_boxes;
};

} // namespace pallorwind::platform
