#include "SinkUpdateUi.h"

namespace pallorwind::win {

SinkUpdateUi::SinkUpdateUi(platform::UserInterface& ui)
    : m_ui(ui), m_cancel(std::make_shared<std::function<void()>>()) {
}

SinkUpdateUi::~SinkUpdateUi() {
    *m_cancel = nullptr;
    End();
}

void SinkUpdateUi::SetCancel(std::function<void()> cancel) {
    *m_cancel = std::move(cancel);
}

void SinkUpdateUi::Ask(const std::string& question, const std::string& caption,
                       std::function<void(bool yes)> answer) {
    m_ui.Ask(question, caption, platform::QuestionButtons::YesNo,
             [answer = std::move(answer)](platform::Answer a) {
                 if (answer)
                     answer(a == platform::Answer::Yes);
             });
}

void SinkUpdateUi::StartupNotice(std::function<void(bool ok, bool doNotCheck)> reply) {
    m_ui.Notice(kNoticeText, kNoticeCaption, kNoticeCheckBox, kNoticeOk,
                [reply = std::move(reply)](bool ok, bool checked) {
                    // The check box counts only when closed with Ok.
                    if (reply)
                        reply(ok, ok && checked);
                });
}

void SinkUpdateUi::Tell(const std::string& message, const std::string& caption) {
    End();
    m_ui.MessageBox(message, caption);
}

void SinkUpdateUi::Progress(std::uint64_t bytes, std::uint64_t total) {
    m_progressShown = true;
    m_ui.Progress(kProgressCaption, kProgressText, bytes, total, [cancel = m_cancel] {
        if (*cancel)
            (*cancel)();
    });
}

void SinkUpdateUi::End() {
    if (!m_progressShown)
        return;
    m_progressShown = false;
    m_ui.EndProgress();
}

} // namespace pallorwind::win
