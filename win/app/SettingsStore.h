// The bridge's settings: text values under one per-user key, each read and
// written on its own at the moment it is needed.
#pragma once

#include "platform/app/Log.h"
#include "platform/settings/Settings.h"

#include <cstddef>
#include <cstdio>
#include <string>

namespace pallorwind::win {

// The value names. Values are text; switches are "1" (on) and "0" (off).
inline constexpr const char* kSettingName = "Name";
inline constexpr const char* kSettingPort = "Port";
inline constexpr const char* kSettingAutoName = "AutoName";
inline constexpr const char* kSettingAutoPort = "AutoPort";
inline constexpr const char* kSettingAutoStart = "AutoStart";
inline constexpr const char* kSettingUpdateURL = "UpdateURL";
inline constexpr const char* kSettingInMidiPort = "InMidiPort";
inline constexpr const char* kSettingOutMidiPort = "OutMidiPort";
inline constexpr const char* kSettingDisplayBonjourMsg = "DisplayBonjourMsg";
inline constexpr const char* kSettingAutoUpdateAtStartup = "AutoUpdateAtStartup";

inline constexpr const char* kValueOn = "1";
inline constexpr const char* kValueOff = "0";
inline constexpr const char* kAnyPort = "0";

// A value read into 80 bytes, terminator included: 80 bytes or more read as "".
inline constexpr std::size_t kMaxSettingBytes = 80;

// The chosen devices' names are read whatever their length: JACK and ALSA
// names ("client:port", with long client names) can pass 80 bytes, and a
// device the user chose must be found again at the next start. Every other
// value keeps the 80-byte rule.
inline bool IsReadWhole(const std::string& name) {
    return name == kSettingInMidiPort || name == kSettingOutMidiPort;
}

// The rule above applied to a stored value.
inline std::string ReadableValue(const std::string& name, std::string value) {
    if (value.size() >= kMaxSettingBytes && !IsReadWhole(name))
        return "";
    return value;
}

// The values live in the per-user store of "Pallorwind"/"PallorwindWIN"
// (platform/settings).
inline constexpr const char* kSettingsOrganisation = "Pallorwind";
inline constexpr const char* kSettingsApplication = "PallorwindWIN";

class SettingsStore {
public:
    explicit SettingsStore(platform::Settings& store) : m_store(store) {}

    // The value, or "" when it is missing, unreadable or 80 bytes or longer
    // (device names excepted, see IsReadWhole). A store that cannot be read or
    // is damaged reads as empty.
    std::string ReadSetting(const std::string& name) {
        return ReadableValue(name, m_store.Value(name).value_or(""));
    }
    // Stores the value at once. A failure is not reported to the caller: a
    // store that cannot be read or is damaged is left as it is (nothing is
    // written), and that, or a failed write, is one line on standard error.
    void WriteSetting(const std::string& name, const std::string& value) {
        switch (m_store.SetValue(name, value)) {
        case platform::SettingsWrite::Stored:
            break;
        case platform::SettingsWrite::Damaged:
            platform::Log::Rawf("settings: %s not stored, %s cannot be read or is damaged",
                                name.c_str(), m_store.Where().c_str());
            break;
        case platform::SettingsWrite::Failed:
            platform::Log::Rawf("settings: %s not stored, cannot write %s", name.c_str(),
                                m_store.Where().c_str());
            break;
        }
    }

private:
    platform::Settings& m_store;
};

// What the stored values mean when the program starts.
struct StartupSettings {
    std::string name;       // "Name", or the computer name when empty
    bool autoName = false;  // "AutoName" is "1", or the name is the computer name
    std::string port;       // the port to listen on; "0" = any free port
    std::string portShown;  // "Port" as stored (or "0"), shown until the service reports
    bool autoPort = false;  // "AutoPort" is "1"; the port is then "0"
    bool autoStart = false; // "AutoStart" is "1"
    std::string inMidiPort; // as stored
    std::string outMidiPort;
    bool displayBonjourMsg = true; // false exactly when the value is "0"
};

StartupSettings ReadStartupSettings(SettingsStore& store, const std::string& computerName);

} // namespace pallorwind::win
