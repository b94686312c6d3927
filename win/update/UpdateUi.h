// What the updater needs from the user interface. Every call comes on the
// main thread; the tray program's user-interface sink implements it, and
// HeadlessUpdateUi stands in where there is no display.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace pallorwind::win {

// The start-up notice (a dialog with one check box and an Ok button).
inline constexpr const char* kNoticeCaption = "Pallorwind Win Autoupdate";
inline constexpr const char* kNoticeText =
    "Pallorwind will automatically check for updates at startup.";
inline constexpr const char* kNoticeCheckBox = "Do not check for updates at startup";
inline constexpr const char* kNoticeOk = "Ok";

class UpdateUi {
public:
    virtual ~UpdateUi() = default;
    // A Yes/No question with a question icon. answer is called once, on the
    // main thread, with true for Yes; it may be called after Ask returned.
    virtual void Ask(const std::string& question, const std::string& caption,
                     std::function<void(bool yes)> answer) = 0;
    // The start-up notice, modal; its check box starts unchecked. reply is
    // called once: ok is false when it was dismissed without Ok (Escape,
    // the close box), doNotCheck is the check box's state at Ok.
    virtual void StartupNotice(std::function<void(bool ok, bool doNotCheck)> reply) = 0;
    // A message with an OK button.
    virtual void Tell(const std::string& message, const std::string& caption) = 0;
    // The archive's download: bytes so far and the announced size (0 when
    // unknown). A Cancel offered with it calls UpdateCheck::Cancel().
    virtual void Progress(std::uint64_t bytes, std::uint64_t total) = 0;
    // What a Cancel offered with the progress calls: the check's Cancel(),
    // set by the check for its lifetime (empty once it is gone).
    virtual void SetCancel(std::function<void()> cancel) { (void)cancel; }
    // The check has ended and told its result: its progress goes away.
    virtual void End() {}
};

// Questions get a fixed answer; messages and progress become lines on out.
class HeadlessUpdateUi final : public UpdateUi {
public:
    HeadlessUpdateUi(bool answer, std::ostream& out) : m_answer(answer), m_out(out) {}
    void Ask(const std::string& question, const std::string& caption,
             std::function<void(bool yes)> answer) override;
    // Dismissed: nothing is stored.
    void StartupNotice(std::function<void(bool ok, bool doNotCheck)> reply) override;
    void Tell(const std::string& message, const std::string& caption) override;
    void Progress(std::uint64_t bytes, std::uint64_t total) override;

private:
    bool m_answer;
    std::ostream& m_out;
    int m_shownTenths = -1;
};

} // namespace pallorwind::win
