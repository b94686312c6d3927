// A user interface that records what it is told and asked, at once and on
// whatever thread the request is made; questions get a preset answer.
#pragma once

#include "platform/ui/UserInterface.h"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace pallorwind::test {

class RecordingUi final : public platform::UserInterface {
public:
    void MessageBox(const std::string& text, const std::string& caption) override {
        std::lock_guard lock(m_mutex);
        boxes.emplace_back(text, caption);
    }
    void Ask(const std::string& text, const std::string& caption, platform::QuestionButtons,
             std::function<void(platform::Answer)> onAnswer) override {
        {
            std::lock_guard lock(m_mutex);
            questions.emplace_back(text, caption);
        }
        if (onAnswer)
            onAnswer(answer);
    }

    void Notice(const std::string& text, const std::string& caption, const std::string&,
                const std::string&, std::function<void(bool, bool)> onClose) override {
        {
            std::lock_guard lock(m_mutex);
            notices.emplace_back(text, caption);
        }
        if (onClose)
            onClose(noticeOk, noticeChecked);
    }

    // (text, caption) of every message and question, in order. Read them
    // once the requests have been made.
    std::vector<std::pair<std::string, std::string>> boxes;
    std::vector<std::pair<std::string, std::string>> questions;
    std::vector<std::pair<std::string, std::string>> notices;
    platform::Answer answer = platform::Answer::No;
    // How every notice is closed.
    bool noticeOk = false;
    bool noticeChecked = false;

private:
    std::mutex m_mutex;
};

} // namespace pallorwind::test
