#include "osx/QtPanels.h"

#include <QInputDialog>

#include "platform/ui/RaiseWindow.h"

#include <utility>

namespace pallorwind::osx {

namespace {

QInputDialog* NewPanel(const QString& title, const QString& label) {
    auto* panel = new QInputDialog;
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowTitle(title);
    panel->setLabelText(label);
    return panel;
}

QInputDialog* TextPanel(const QString& title, const QString& label,
                        std::function<void(std::string)> onOk) {
    QInputDialog* panel = NewPanel(title, label);
    panel->setInputMode(QInputDialog::TextInput);
    QObject::connect(panel, &QDialog::accepted, panel, [panel, onOk = std::move(onOk)] {
        if (onOk)
            onOk(panel->textValue().toStdString());
    });
    panel->open();
    return panel;
}

} // namespace

QtPanels::~QtPanels() {
    for (QInputDialog* panel : {m_name.data(), m_port.data(), m_midi.data()})
        if (panel) {
            panel->disconnect();
            delete panel;
        }
}

void QtPanels::ChooseName(std::function<void(std::string name)> onOk) {
    if (!platform::RaiseWindow(m_name))
        m_name = TextPanel("Name", "Service name (empty: this computer's name):", std::move(onOk));
}

void QtPanels::ChooseMidiName(std::function<void(std::string name)> onOk) {
    if (!platform::RaiseWindow(m_midi))
        m_midi = TextPanel("MIDI Name", "MIDI port name after \"Pallorwind\":", std::move(onOk));
}

void QtPanels::ChoosePort(std::function<void(int port)> onOk) {
    if (platform::RaiseWindow(m_port))
        return;
    QInputDialog* panel = NewPanel("Port", "TCP port (0: any free port):");
    panel->setInputMode(QInputDialog::IntInput);
    panel->setIntRange(0, 65535);
    panel->setIntValue(0);
    QObject::connect(panel, &QDialog::accepted, panel, [panel, onOk = std::move(onOk)] {
        if (onOk)
            onOk(panel->intValue());
    });
    panel->open();
    m_port = panel;
}

} // namespace pallorwind::osx
