#include "platform/ui/UserInterface.h"

#include "platform/app/Log.h"

#include <algorithm>

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

void QueuedUserInterface::Progress(const std::string& caption, const std::string& text,
                                   std::uint64_t done, std::uint64_t total,
                                   std::function<void()> onCancel) {
    Request request;
    request.text = text;
    request.caption = caption;
    request.progress = Request::Progress::Update;
    request.done = done;
    request.total = total;
    request.onCancel = std::move(onCancel);
    Queue(std::move(request));
}

void QueuedUserInterface::EndProgress() {
    Request request;
    request.progress = Request::Progress::End;
    Queue(std::move(request));
}

void QueuedUserInterface::Queue(Request request) {
    std::lock_guard lock(m_mutex);
    if (request.progress == Request::Progress::Update && !m_queue.empty() &&
        m_queue.back().progress == Request::Progress::Update) {
        m_queue.back() = std::move(request); // a flush is posted already
        return;
    }
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

void HeadlessUserInterface::ShowProgress(const Request& request) {
    if (request.progress == Request::Progress::End) {
        m_progressStep = ~std::uint64_t(0);
        return;
    }
    const std::uint64_t step =
        request.total != 0
            ? std::min<std::uint64_t>(request.done, request.total) * 10 / request.total
            : request.done >> 20;
    if (step == m_progressStep)
        return;
    m_progressStep = step;
    const std::string amount =
        request.total != 0 ? std::to_string(step * 10) + " %" : std::to_string(step) + " MiB";
    Write(OneLine(request.caption, request.text) + " " + amount);
}

void HeadlessUserInterface::Write(const std::string& line) {
    Log::Raw(line);
}

void HeadlessUserInterface::Show(Request request) {
    if (request.progress != Request::Progress::None) {
        ShowProgress(request);
        return;
    }
    Write(OneLine(request.caption, request.text));
    if (request.question && request.onAnswer && !m_closing)
        request.onAnswer(RefusingAnswer(request.buttons));
    if (request.onClose && !m_closing)
        request.onClose(false, false);
}

} // namespace pallorwind::platform
