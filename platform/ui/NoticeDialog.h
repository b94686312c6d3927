// A message with one check box and one button, for notices such as "could
// not register the service; do not show this again".
#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;

namespace pallorwind::platform {

// The check box starts unchecked. The button (the default button, so Enter
// presses it) accepts; Escape and the close box reject.
class NoticeDialog final : public QDialog {
public:
    NoticeDialog(const QString& text, const QString& caption, const QString& checkBoxText,
                 const QString& okText, QWidget* parent = nullptr);

    bool Checked() const;
    QCheckBox* CheckBox() const { return m_check; }
    QPushButton* OkButton() const { return m_ok; }

private:
    QCheckBox* m_check;
    QPushButton* m_ok;
};

} // namespace pallorwind::platform
