// "Choose Name": asks for a new service name.
#pragma once

#include <QDialog>

#include <string>

class QLineEdit;

namespace pallorwind::win {

// OK (Enter, the default button) closes only when the trimmed text is not
// empty; Escape and the close box cancel. The edit starts empty.
class CName final : public QDialog {
public:
    explicit CName(QWidget* parent = nullptr);

    // After OK: the trimmed name, never empty.
    const std::string& Name() const { return m_name; }
    QLineEdit* Edit() const { return m_edit; }

    void accept() override;

private:
    QLineEdit* m_edit;
    std::string m_name;
};

} // namespace pallorwind::win
