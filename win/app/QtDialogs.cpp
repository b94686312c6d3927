#include "win/app/QtDialogs.h"

#include "platform/ui/RaiseWindow.h"
#include "res/Resources.h"
#include "win/app/CAboutDlg.h"
#include "win/app/CName.h"
#include "win/app/CPortDlg.h"

#include <utility>

namespace pallorwind::win {
namespace {

// Shows a new dialog that deletes itself when closed.
void Open(QDialog* dialog) {
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}

} // namespace

QtDialogs::QtDialogs(std::string version) : m_version(std::move(version)) {
}

QtDialogs::~QtDialogs() {
    for (QDialog* dialog : {static_cast<QDialog*>(m_name), static_cast<QDialog*>(m_port),
                            static_cast<QDialog*>(m_about)})
        if (dialog) {
            dialog->disconnect();
            delete dialog;
        }
}

void QtDialogs::ChooseName(std::function<void(std::string name)> onOk) {
    if (platform::RaiseWindow(m_name))
        return;
    m_name = new CName;
    CName* dialog = m_name;
    QObject::connect(dialog, &QDialog::accepted, dialog, [dialog, onOk = std::move(onOk)] {
        if (onOk)
            onOk(dialog->Name());
    });
    Open(dialog);
}

void QtDialogs::ChoosePort(std::function<void(std::string port)> onOk) {
    if (platform::RaiseWindow(m_port))
        return;
    m_port = new CPortDlg;
    CPortDlg* dialog = m_port;
    QObject::connect(dialog, &QDialog::accepted, dialog, [dialog, onOk = std::move(onOk)] {
        if (onOk)
            onOk(dialog->Port());
    });
    Open(dialog);
}

void QtDialogs::About() {
    if (platform::RaiseWindow(m_about))
        return;
    res::InitResources();
    m_about = new CAboutDlg(QIcon(QString::fromLatin1(res::kAppIcon)), m_version);
    Open(m_about);
}

} // namespace pallorwind::win
