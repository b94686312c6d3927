#include "platform/ui/WidgetUserInterface.h"

#include "platform/ui/NoticeDialog.h"

#include <QMessageBox>
#include <QPointer>

#include <vector>

namespace pallorwind::platform {

struct WidgetUserInterface::Boxes {
    std::vector<QPointer<QDialog>> open;

    void Opened(QDialog* box) {
        std::erase_if(open, [](const QPointer<QDialog>& b) { return b.isNull(); });
        open.emplace_back(box);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
};

WidgetUserInterface::WidgetUserInterface() : m_boxes(std::make_unique<Boxes>()) {
}

WidgetUserInterface::~WidgetUserInterface() {
    for (const QPointer<QDialog>& box : m_boxes->open)
        if (box) {
            box->disconnect();
            delete box.data();
        }
}

void WidgetUserInterface::Show(Request request) {
    if (request.onClose) {
        // A notice: its one button accepts; Escape and the close box reject.
        auto* notice = new NoticeDialog(
            QString::fromStdString(request.text), QString::fromStdString(request.caption),
            QString::fromStdString(request.checkBoxText), QString::fromStdString(request.okText));
        QObject::connect(notice, &QDialog::finished, notice,
                         [notice, onClose = std::move(request.onClose)](int result) {
                             onClose(result == QDialog::Accepted, notice->Checked());
                         });
        m_boxes->Opened(notice);
        return;
    }
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    if (request.question)
        buttons = request.buttons == QuestionButtons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                                            : QMessageBox::Ok | QMessageBox::Cancel;
    auto* box = new QMessageBox(request.question ? QMessageBox::Question : QMessageBox::NoIcon,
                                QString::fromStdString(request.caption),
                                QString::fromStdString(request.text), buttons);
    if (request.question) {
        QObject::connect(
            box, &QMessageBox::finished, box,
            [box, buttons = request.buttons, onAnswer = std::move(request.onAnswer)](int) {
                Answer answer = RefusingAnswer(buttons);
                switch (box->standardButton(box->clickedButton())) {
                case QMessageBox::Yes:
                    answer = Answer::Yes;
                    break;
                case QMessageBox::Ok:
                    answer = Answer::Ok;
                    break;
                default:
                    break;
                }
                if (onAnswer)
                    onAnswer(answer);
            });
    }
    m_boxes->Opened(box);
}

} // namespace pallorwind::platform
