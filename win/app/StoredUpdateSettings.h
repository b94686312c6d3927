// The update check's settings, kept in the bridge's settings store under
// their stored names.
#pragma once

#include "win/app/SettingsStore.h"
#include "win/update/UpdateSettings.h"

#include <string>

namespace pallorwind::win {

class StoredUpdateSettings final : public UpdateSettings {
public:
    // store must outlive this view.
    explicit StoredUpdateSettings(SettingsStore& store) : m_store(store) {}

    std::string ReadUpdateURL() override { return m_store.ReadSetting(kSettingUpdateURL); }
    std::string ReadAutoUpdateAtStartup() override {
        return m_store.ReadSetting(kSettingAutoUpdateAtStartup);
    }
    void WriteAutoUpdateAtStartup(const std::string& value) override {
        m_store.WriteSetting(kSettingAutoUpdateAtStartup, value);
    }

private:
    SettingsStore& m_store;
};

} // namespace pallorwind::win
