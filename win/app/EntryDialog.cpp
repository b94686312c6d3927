#include "win/app/EntryDialog.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pallorwind::win {

QLineEdit* BuildEntryDialog(QDialog* dialog, const QString& caption, const QString& label) {
    dialog->setWindowTitle(caption);
    auto* edit = new QLineEdit;
    edit->setMinimumWidth(160);
    auto* text = new QLabel(label);
    text->setBuddy(edit);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setAutoDefault(false);
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setDefault(true);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);

    auto* entry = new QHBoxLayout;
    entry->addWidget(text);
    entry->addWidget(edit, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(ok);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(dialog);
    layout->addLayout(entry);
    layout->addLayout(buttons);
    dialog->setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    edit->setFocus();
    return edit;
}

} // namespace pallorwind::win
