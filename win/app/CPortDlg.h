// "Choose Port": asks for a new TCP port.
#pragma once

#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;

namespace pallorwind::win {

// The edit takes only digits as they are typed, at most 5; leading zeros
// stay. OK (Enter, the default button) closes only when the trimmed text is
// not empty and not above 65535 (the dialog then says what a port is);
// Escape and the close box cancel. The edit starts empty.
class CPortDlg final : public QDialog {
public:
    explicit CPortDlg(QWidget* parent = nullptr);

    // After OK: the digits as typed, 1 to 5 of them.
    const std::string& Port() const { return m_port; }
    QLineEdit* Edit() const { return m_edit; }
    // The note shown after a number above the last port.
    QLabel* Hint() const { return m_hint; }

    static constexpr unsigned long kLastPort = 65535;

    void accept() override;

private:
    QLineEdit* m_edit;
    QLabel* m_hint;
    std::string m_port;
};

} // namespace pallorwind::win
