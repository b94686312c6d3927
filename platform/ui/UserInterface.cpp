#include "platform/ui/UserInterface.h"

namespace pallorwind::platform {

std::string OneLine(const std::string& caption, const std::string& text) {
    std::string line = caption + ": " + text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    return line;
}

void QueuedUserInterface::MessageBox(const std::string& text, const std::string& caption) {
    Request request;
    request.text = text;
    request.caption = caption;
    Queue(std::move(request));
}

void QueuedUserInterface::Ask(const std::string& text, const std::string& caption,
                              QuestionButtons buttons, std::function<void(Answer)> onAnswer) {
    Request request;
    request.text = text;
    request.caption = caption;
    request.question = true;
    request.buttons = buttons;
    request.onAnswer = std::move(onAnswer);
    Queue(std::move(request));
}

void QueuedUserInterface::Notice(const std::string& text, const std::string& caption,
                                 const std::string& checkBoxText, const std::string& okText,
                                 std::function<void(bool ok, bool checked)> onClose) {
    Request request;
    request.text = text;
    request.caption = caption;
    request.checkBoxText = checkBoxText;
    request.okText = okText;
    request.onClose = std::move(onClose);
    Queue(std::move(request));
}

void QueuedUserInterface::Queue(Request request) {
    std::lock_guard lock(m_mutex);
    m_queue.push_back(std::move(request));
    if (m_flushPosted)
        return;
    m_flushPosted = true;
    m_poster.Post([this] { Flush(); });
}

void QueuedUserInterface::Flush() {
    for (;;) {
        Request request;
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.empty()) {
                m_flushPosted = false;
                return;
            }
            request = std::move(m_queue.front());
            m_queue.pop_front();
        }
        Show(std::move(request));
    }
}

void HeadlessUserInterface::Show(Request request) {
    std::fprintf(m_out, "%s\n", OneLine(request.caption, request.text).c_str());
    std::fflush(m_out);
    if (request.question && request.onAnswer && !m_closing)
        request.onAnswer(RefusingAnswer(request.buttons));
    if (request.onClose && !m_closing)
        request.onClose(false, false);
}

} // namespace pallorwind::platform
