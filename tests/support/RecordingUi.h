// A user interface that records what it is told and asked, at once and on
// whatever thread the request is made; questions get a preset answer.
#pragma once

#include "platform/ui/UserInterface.h"

#include <cstdint>
#include <functional>
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
        events.push_back("message");
    }
    void Ask(const std::string& text, const std::string& caption, platform::QuestionButtons,
             std::function<void(platform::Answer)> onAnswer) override {
        {
            std::lock_guard lock(m_mutex);
            questions.emplace_back(text, caption);
            events.push_back("question");
        }
        if (onAnswer)
            onAnswer(answer);
    }

    void Notice(const std::string& text, const std::string& caption, const std::string&,
                const std::string&, std::function<void(bool, bool)> onClose) override {
        {
            std::lock_guard lock(m_mutex);
            notices.emplace_back(text, caption);
            events.push_back("notice");
        }
        if (holdNotices)
            openNotices.push_back(std::move(onClose));
        else if (onClose)
            onClose(noticeOk, noticeChecked);
    }

    void Progress(const std::string& caption, const std::string&, std::uint64_t done,
                  std::uint64_t total, std::function<void()> onCancel) override {
        std::lock_guard lock(m_mutex);
        progress.push_back({caption, done, total});
        cancelProgress = std::move(onCancel);
        events.push_back("progress");
    }
    void EndProgress() override {
        std::lock_guard lock(m_mutex);
        ++progressEnds;
        events.push_back("end progress");
    }

    // (text, caption) of every message and question, in order. Read them
    // once the requests have been made.
    std::vector<std::pair<std::string, std::string>> boxes;
    std::vector<std::pair<std::string, std::string>> questions;
    std::vector<std::pair<std::string, std::string>> notices;
    // Notices stay open until the test closes them through openNotices.
    bool holdNotices = false;
    std::vector<std::function<void(bool, bool)>> openNotices;
    platform::Answer answer = platform::Answer::No;
    struct ProgressShown {
        std::string caption;
        std::uint64_t done, total;
    };
    std::vector<ProgressShown> progress;
    std::function<void()> cancelProgress; // the latest progress's Cancel
    int progressEnds = 0;
    // "message", "question", "notice", "progress", "end progress", in order.
    std::vector<std::string> events;
    // How every notice is closed.
    bool noticeOk = false;
    bool noticeChecked = false;

private:
    std::mutex m_mutex;
};

} // namespace pallorwind::test
