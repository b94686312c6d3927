#include "platform/ui/NoticeDialog.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace pallorwind::platform {

NoticeDialog::NoticeDialog(const QString& text, const QString& caption, const QString& checkBoxText,
                           const QString& okText, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(caption);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    m_check = new QCheckBox(checkBoxText);
    m_check->setChecked(false);
    m_ok = new QPushButton(okText);
    m_ok->setDefault(true);
    connect(m_ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_ok);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(12);
    layout->addWidget(label);
    layout->addWidget(m_check);
    layout->addLayout(buttons);
}

bool NoticeDialog::Checked() const {
    return m_check->isChecked();
}

} // namespace pallorwind::platform
