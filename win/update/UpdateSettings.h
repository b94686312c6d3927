// The stored values the update check reads and writes, as it needs them. The
// program keeps them in its settings store and hands the check this view of
// them. Called on the main thread only.
#pragma once

#include <string>

namespace pallorwind::win {

class UpdateSettings {
public:
    virtual ~UpdateSettings() = default;
    // "UpdateURL": the update folder; "" when not set (or unreadable).
    virtual std::string ReadUpdateURL() = 0;
    // "AutoUpdateAtStartup": what the program does at start-up (see
    // StartupUpdateCheck); "" when not set.
    virtual std::string ReadAutoUpdateAtStartup() = 0;
    // Stores "AutoUpdateAtStartup" at once; a failure is not reported.
    virtual void WriteAutoUpdateAtStartup(const std::string& value) = 0;
};

} // namespace pallorwind::win
