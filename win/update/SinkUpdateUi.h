// The updater's questions, notice, messages and download progress, put to
// the user through the program's one user-interface sink.
#pragma once

#include "UpdateUi.h"
#include "platform/ui/UserInterface.h"

#include <functional>
#include <memory>

namespace pallorwind::win {

// The download's progress.
inline constexpr const char* kProgressCaption = "Updater";
inline constexpr const char* kProgressText = "Downloading the update...";

class SinkUpdateUi final : public UpdateUi {
public:
    explicit SinkUpdateUi(platform::UserInterface& ui);
    // Closes a progress still shown; its Cancel does nothing any more.
    ~SinkUpdateUi() override;
    SinkUpdateUi(const SinkUpdateUi&) = delete;
    SinkUpdateUi& operator=(const SinkUpdateUi&) = delete;

    // What the progress's Cancel calls (the check's Cancel()), on the main
    // thread.
    void SetCancel(std::function<void()> cancel);

    void Ask(const std::string& question, const std::string& caption,
             std::function<void(bool yes)> answer) override;
    void StartupNotice(std::function<void(bool ok, bool doNotCheck)> reply) override;
    // A message; a progress still shown is closed first, so the message
    // (the check's result) comes after it.
    void Tell(const std::string& message, const std::string& caption) override;
    void Progress(std::uint64_t bytes, std::uint64_t total) override;
    // Closes the progress, if one is shown; the owner calls it when the
    // check has ended.
    void End();

private:
    platform::UserInterface& m_ui;
    // Shared with the progress requests, which may outlive this object.
    std::shared_ptr<std::function<void()>> m_cancel;
    bool m_progressShown = false;
};

} // namespace pallorwind::win
