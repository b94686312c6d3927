// Everything the program tells or asks the user goes through one
// UserInterface. Requests never block and never start a modal loop where they
// are made (a constructor, a socket notice, a MIDI or DNS-SD callback, another
// thread): they are queued to the main thread and shown from its event loop,
// in the order they were made.
#pragma once

#include "platform/app/MainThreadPoster.h"

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace pallorwind::platform {

enum class Answer { Ok, Cancel, Yes, No };
// The buttons of a question; headless, a question takes the second one.
enum class QuestionButtons { OkCancel, YesNo };

class UserInterface {
public:
    virtual ~UserInterface() = default;
    // A message with `caption` and a single OK button. Any thread.
    virtual void MessageBox(const std::string& text, const std::string& caption) = 0;
    // A question; `onAnswer` runs on the main thread with the button chosen.
    // Any thread.
    virtual void Ask(const std::string& text, const std::string& caption, QuestionButtons buttons,
                     std::function<void(Answer)> onAnswer) = 0;
    // A message with one check box (unchecked when shown) and one button,
    // `okText`. `onClose` runs on the main thread: ok is true when the button
    // closed it (false for Escape or the close box), checked is the check
    // box's state then. Headless it is one line and closes without ok. Any
    // thread.
    virtual void Notice(const std::string& text, const std::string& caption,
                        const std::string& checkBoxText, const std::string& okText,
                        std::function<void(bool ok, bool checked)> onClose) = 0;
    // A long task's progress: `done` of `total` (0: the total is unknown),
    // with a Cancel button; `onCancel` runs on the main thread when it is
    // pressed, at most once per progress shown. Each call updates the one
    // progress shown, opening it when none is. Headless it is a line now and
    // then and cannot be cancelled. Any thread.
    virtual void Progress(const std::string& caption, const std::string& text, std::uint64_t done,
                          std::uint64_t total, std::function<void()> onCancel) = 0;
    // Closes the progress shown, without cancelling. Any thread.
    virtual void EndProgress() = 0;
};

// The answer a question gets when nobody can be asked: Cancel or No.
constexpr Answer RefusingAnswer(QuestionButtons buttons) {
    return buttons == QuestionButtons::YesNo ? Answer::No : Answer::Cancel;
}

// "caption: text" on one line, line breaks folded into spaces.
std::string OneLine(const std::string& caption, const std::string& text);

// Queues every request to the thread that created it and shows it from the
// event loop there through Show(). Requests still queued when it is destroyed
// are not shown, except where a subclass flushes them (Flush()). A progress
// update that follows another one still queued replaces it: only the latest
// is shown.
class QueuedUserInterface : public UserInterface {
public:
    struct Request {
        std::string text;
        std::string caption;
        bool question = false;
        QuestionButtons buttons = QuestionButtons::OkCancel;
        std::function<void(Answer)> onAnswer; // questions only
        // A notice: a message with a check box and one button.
        std::string checkBoxText;
        std::string okText;
        std::function<void(bool ok, bool checked)> onClose; // notices only
        // Progress: an update (done of total), or its end.
        enum class Progress { None, Update, End } progress = Progress::None;
        std::uint64_t done = 0;
        std::uint64_t total = 0;
        std::function<void()> onCancel; // progress updates only
    };

    void MessageBox(const std::string& text, const std::string& caption) override;
    void Ask(const std::string& text, const std::string& caption, QuestionButtons buttons,
             std::function<void(Answer)> onAnswer) override;
    void Notice(const std::string& text, const std::string& caption,
                const std::string& checkBoxText, const std::string& okText,
                std::function<void(bool ok, bool checked)> onClose) override;
    void Progress(const std::string& caption, const std::string& text, std::uint64_t done,
                  std::uint64_t total, std::function<void()> onCancel) override;
    void EndProgress() override;

protected:
    // Shows one request on the main thread, from the event loop.
    virtual void Show(Request request) = 0;
    // Shows what is queued now (main thread).
    void Flush();

private:
    void Queue(Request request);

    std::mutex m_mutex;
    std::deque<Request> m_queue; // guarded by m_mutex
    bool m_flushPosted = false;  // guarded by m_mutex
    MainThreadPoster m_poster;   // last: goes first, so no posted call outlives the queue
};

// Headless: every message and question is one line of the program's log
// (platform/app/Log, without its prefix); a question is answered Cancel or No. Progress is a line
// for each tenth of the total reached, or for each MiB when the total is unknown.
class HeadlessUserInterface final : public QueuedUserInterface {
public:
    HeadlessUserInterface() = default;
    // What is still queued is written out, not lost; its questions are not
    // answered any more, as whoever asked may be gone.
    ~HeadlessUserInterface() override {
        m_closing = true;
        Flush();
    }

protected:
    void Show(Request request) override;

private:
    void ShowProgress(const Request& request);
    void Write(const std::string& line);

    bool m_closing = false;
    std::uint64_t m_progressStep = ~std::uint64_t(0); // the last step written
};

} // namespace pallorwind::platform
