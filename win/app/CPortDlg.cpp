#include "win/app/CPortDlg.h"

#include "win/app/EntryDialog.h"
#include "win/app/TrimmedText.h"

#include <QLineEdit>
#include <QRegularExpressionValidator>

namespace pallorwind::win {

CPortDlg::CPortDlg(QWidget* parent) : QDialog(parent) {
    m_edit = BuildEntryDialog(this, QStringLiteral("Choose Port"), QStringLiteral("Port"));
    m_edit->setMaxLength(5);
    m_edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_edit));
}

void CPortDlg::accept() {
    std::string port = TrimmedText(m_edit->text().toStdString());
    if (port.empty())
        return; // stays open, without a word
    m_port = std::move(port);
    QDialog::accept();
}

} // namespace pallorwind::win
