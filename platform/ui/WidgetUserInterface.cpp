#include "platform/ui/WidgetUserInterface.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <vector>

namespace pallorwind::platform {

struct WidgetUserInterface::Boxes {
    std::vector<QPointer<QMessageBox>> open;
};

WidgetUserInterface::WidgetUserInterface() : m_boxes(std::make_unique<Boxes>()) {
}

WidgetUserInterface::~WidgetUserInterface() {
    for (const QPointer<QMessageBox>& box : m_boxes->open)
        if (box) {
            box->disconnect();
            delete box.data();
        }
}

void WidgetUserInterface::Show(Request request) {
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    if (request.question)
        buttons = request.buttons == QuestionButtons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                                            : QMessageBox::Ok | QMessageBox::Cancel;
    auto* box = new QMessageBox(request.question ? QMessageBox::Question : QMessageBox::NoIcon,
                                QString::fromStdString(request.caption),
                                QString::fromStdString(request.text), buttons);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (request.onClose) {
        // A notice: the one button is an accepting button with the given
        // text; Escape and the close box reject it.
        box->setStandardButtons(QMessageBox::NoButton);
        QPushButton* ok =
            box->addButton(QString::fromStdString(request.okText), QMessageBox::AcceptRole);
        box->setDefaultButton(ok);
        box->setEscapeButton(static_cast<QAbstractButton*>(nullptr));
        auto* check = new QCheckBox(QString::fromStdString(request.checkBoxText));
        box->setCheckBox(check);
        QObject::connect(box, &QMessageBox::finished, box,
                         [box, ok, check, onClose = std::move(request.onClose)](int) {
                             onClose(box->clickedButton() == ok, check->isChecked());
                         });
    }
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
    std::erase_if(m_boxes->open, [](const QPointer<QMessageBox>& b) { return b.isNull(); });
    m_boxes->open.emplace_back(box);
    box->open();
}

} // namespace pallorwind::platform
