#include "win/app/CPortDlg.h"

#include "win/app/EntryDialog.h"
#include "win/app/TrimmedText.h"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include <string>

namespace pallorwind::win {

CPortDlg::CPortDlg(QWidget* parent) : QDialog(parent) {
    m_edit = BuildEntryDialog(this, QStringLiteral("Choose Port"), QStringLiteral("Port"));
    m_edit->setMaxLength(5);
    m_edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_edit));
    // Shown under the edit when a port beyond the last one was typed.
    m_hint = new QLabel(QStringLiteral("A port is a number from 0 to 65535."));
    m_hint->hide();
    if (auto* box = qobject_cast<QBoxLayout*>(layout()))
        box->insertWidget(1, m_hint);
}

void CPortDlg::accept() {
    std::string port = TrimmedText(m_edit->text().toStdString());
    if (port.empty())
        return; // stays open, without a word
    // Five digits can pass the last port; such a number would wrap round to
    // another port (65600 is 64), so it is refused and the dialog says why.
    if (std::stoul(port) > kLastPort) {
        m_hint->show();
        m_edit->selectAll();
        return;
    }
    m_port = std::move(port);
    QDialog::accept();
}

} // namespace pallorwind::win
