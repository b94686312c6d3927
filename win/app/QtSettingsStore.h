// The settings store over QSettings: the per-user native store of
// "Pallorwind"/"PallorwindWIN" (an INI file on Linux, the registry key on
// Windows).
#pragma once

#include "win/app/SettingsStore.h"

namespace pallorwind::win {

class QtSettingsStore final : public SettingsStore {
public:
    std::string ReadSetting(const std::string& name) override;
    // A store that cannot be read, or that is damaged, is left as it is: the
    // write is skipped and one line goes to standard error, as it does when
    // the write itself fails.
    void WriteSetting(const std::string& name, const std::string& value) override;
};

} // namespace pallorwind::win
