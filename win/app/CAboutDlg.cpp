#include "win/app/CAboutDlg.h"

#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

namespace pallorwind::win {

CAboutDlg::CAboutDlg(const QIcon& appIcon, const std::string& version, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Pallorwind WIN"));
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* icon = new QLabel;
    icon->setPixmap(appIcon.pixmap(32, 32));
    const QString lines[] = {
        QStringLiteral("Pallorwind WIN"),
        QStringLiteral("Pallorwind WIN (%1)").arg(QString::fromStdString(version)),
        QStringLiteral("Copyright (C) Pallorwind. All rights reserved."),
    };
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 16, 24, 16);
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    for (const QString& line : lines)
        layout->addWidget(new QLabel(line), 0, Qt::AlignHCenter);
}

void CAboutDlg::keyPressEvent(QKeyEvent* event) {
    // No buttons: Enter closes it as OK would, Escape as Cancel does.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        accept();
    else
        QDialog::keyPressEvent(event);
}

} // namespace pallorwind::win
