#include "osx/Preferences.h"
#include "platform/app/Log.h"

#include <cstdio>
#include <cstdlib>

namespace pallorwind::osx {

void Preferences::SetValue(const std::string& key, const std::string& value) {
    if (m_store.SetValue(key, value) != platform::SettingsWrite::Stored)
        platform::Log::Linef("could not store the preference \"%s\"", key.c_str());
}

long long Preferences::Integer(const std::string& key) {
    // Leading blanks, a sign and the digits up to the first other byte.
    return std::strtoll(String(key).c_str(), nullptr, 10);
}

void SetPrefs(Preferences& prefs) {
    if (!prefs.Has(kPrefServer))
        prefs.SetValue(kPrefServer, "");
    if (!prefs.Has(kPrefPort))
        prefs.SetInteger(kPrefPort, 0);
    if (!prefs.Has(kPrefMidi))
        prefs.SetValue(kPrefMidi, "");
    prefs.SetValue(kPrefPrefs, "1");
}

} // namespace pallorwind::osx
