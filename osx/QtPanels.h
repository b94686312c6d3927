// The panels as Qt input dialogs.
#pragma once

#include "osx/Panels.h"

#include <QPointer>

#include <QInputDialog>

namespace pallorwind::osx {

// Each panel opens with open(), never a modal loop of its own. One of each is
// open at a time: asking again brings the open one to the front. Panels still
// open when this is destroyed close without an answer. Needs a QApplication.
class QtPanels final : public Panels {
public:
    QtPanels() = default;
    ~QtPanels() override;

    void ChooseName(std::function<void(std::string name)> onOk) override;
    void ChoosePort(std::function<void(int port)> onOk) override;
    void ChooseMidiName(std::function<void(std::string name)> onOk) override;

    // The panels open now, or null; for tests.
    QInputDialog* NamePanel() const { return m_name; }
    QInputDialog* PortPanel() const { return m_port; }
    QInputDialog* MidiPanel() const { return m_midi; }

private:
    QPointer<QInputDialog> m_name, m_port, m_midi;
};

} // namespace pallorwind::osx
