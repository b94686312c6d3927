// The about box: the application icon, the program's name and version, and
// the maker's notice. No buttons; Enter, Escape and the close box close it.
#pragma once

#include <QDialog>

#include <string>

class QIcon;

namespace pallorwind::win {

class CAboutDlg final : public QDialog {
public:
    CAboutDlg(const QIcon& appIcon, const std::string& version, QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

} // namespace pallorwind::win
