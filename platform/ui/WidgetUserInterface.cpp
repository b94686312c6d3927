#include "platform/ui/WidgetUserInterface.h"

#include "platform/ui/NoticeDialog.h"

#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>

#include <algorithm>
#include <vector>

namespace pallorwind::platform {

namespace {

constexpr int kProgressSteps = 1000;

QString MiB(std::uint64_t bytes) {
    return QString::number(double(bytes) / (1 << 20), 'f', 1);
}

} // namespace

struct WidgetUserInterface::Boxes {
    std::vector<QPointer<QDialog>> open;
    // The one progress dialog, and what its Cancel calls. Once cancelled,
    // updates still on their way are dropped until the progress ends.
    QPointer<QProgressDialog> progress;
    std::function<void()> onCancel;
    bool cancelled = false;

    void Opened(QDialog* box, bool modal = true) {
        std::erase_if(open, [](const QPointer<QDialog>& b) { return b.isNull(); });
        open.emplace_back(box);
        box->setAttribute(Qt::WA_DeleteOnClose);
        if (modal)
            box->open();
        else
            box->show();
    }

    void Cancelled() {
        if (cancelled)
            return;
        cancelled = true;
        const std::function<void()> call = std::move(onCancel);
        onCancel = nullptr;
        if (call)
            call();
    }

    void EndProgress() {
        if (progress) {
            progress->disconnect();
            delete progress.data();
        }
        onCancel = nullptr;
        cancelled = false;
    }

    void UpdateProgress(Request& request) {
        if (cancelled)
            return;
        if (!progress) {
            auto* dialog = new QProgressDialog;
            dialog->setCancelButtonText(QProgressDialog::tr("Cancel"));
            dialog->setAutoClose(false);
            dialog->setAutoReset(false);
            dialog->setMinimumDuration(0);
            // The Cancel button, Escape and the close box all cancel.
            QObject::connect(dialog, &QProgressDialog::canceled, dialog, [this] { Cancelled(); });
            QObject::connect(dialog, &QDialog::rejected, dialog, [this] { Cancelled(); });
            progress = dialog;
            Opened(dialog, false);
        }
        onCancel = std::move(request.onCancel);
        progress->setWindowTitle(QString::fromStdString(request.caption));
        QString label = QString::fromStdString(request.text) + "\n";
        if (request.total != 0) {
            const std::uint64_t done = std::min(request.done, request.total);
            progress->setRange(0, kProgressSteps);
            progress->setValue(int(done * kProgressSteps / request.total));
            label += MiB(done) + " of " + MiB(request.total) + " MiB";
        } else {
            progress->setRange(0, 0); // busy
            label += MiB(request.done) + " MiB";
        }
        progress->setLabelText(label);
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
    if (request.progress == Request::Progress::Update) {
        m_boxes->UpdateProgress(request);
        return;
    }
    if (request.progress == Request::Progress::End) {
        m_boxes->EndProgress();
        return;
    }
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
