#include "win/app/SettingsStore.h"

namespace pallorwind::win {

StartupSettings ReadStartupSettings(SettingsStore& store, const std::string& computerName) {
    StartupSettings s;
    s.name = store.ReadSetting(kSettingName);
    if (s.name.empty())
        s.name = computerName;
    s.port = store.ReadSetting(kSettingPort);
    if (s.port.empty())
        s.port = std::string(kAnyPort); // GCC 12 -O3 warns falsely on assigning a char*
    s.portShown = s.port;
    s.inMidiPort = store.ReadSetting(kSettingInMidiPort);
    s.outMidiPort = store.ReadSetting(kSettingOutMidiPort);
    s.autoName = store.ReadSetting(kSettingAutoName) == kValueOn || s.name == computerName;
    s.autoPort = store.ReadSetting(kSettingAutoPort) == kValueOn;
    if (s.autoPort)
        s.port = std::string(kAnyPort);
    s.autoStart = store.ReadSetting(kSettingAutoStart) == kValueOn;
    s.displayBonjourMsg = store.ReadSetting(kSettingDisplayBonjourMsg) != kValueOff;
    return s;
}

} // namespace pallorwind::win
