// The tray program's dialogs as Qt dialogs.
#pragma once

#include "win/app/CAboutDlg.h"
#include "win/app/CName.h"
#include "win/app/CPortDlg.h"
#include "win/app/Dialogs.h"

#include <QIcon>
#include <QPointer>

#include <string>

namespace pallorwind::win {

// Each dialog opens with open(), never a modal loop of its own, and answers
// when it closes. One of each is open at a time: asking again brings the open
// one to the front (and the first request keeps its callback). Dialogs still
// open when this is destroyed close without an answer. Needs a QApplication
// and the program's resources (InitResources) for the about box's icon.
class QtDialogs final : public Dialogs {
public:
    explicit QtDialogs(std::string version);
    ~QtDialogs() override;

    void ChooseName(std::function<void(std::string name)> onOk) override;
    void ChoosePort(std::function<void(std::string port)> onOk) override;
    void About() override;

    // The dialogs open now, or null; for tests.
    CName* NameDialog() const { return m_name; }
    CPortDlg* PortDialog() const { return m_port; }
    CAboutDlg* AboutDialog() const { return m_about; }

private:
    std::string m_version;
    QPointer<CName> m_name;
    QPointer<CPortDlg> m_port;
    QPointer<CAboutDlg> m_about;
};

} // namespace pallorwind::win
