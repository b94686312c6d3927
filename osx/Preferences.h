// The bridge's per-user preferences: "server", "port", "midi" and "prefs".
#pragma once

#include "platform/settings/Settings.h"

#include <optional>
#include <string>

namespace pallorwind::osx {

inline constexpr const char* kPrefServer = "server";
inline constexpr const char* kPrefPort = "port";
inline constexpr const char* kPrefMidi = "midi";
inline constexpr const char* kPrefPrefs = "prefs";

// The preferences live in the per-user store of "Pallorwind"/"Pallorwind"
// (platform/settings).
inline constexpr const char* kPrefsOrganisation = "Pallorwind";
inline constexpr const char* kPrefsApplication = "Pallorwind";

// Values are kept as text; an integer reads the text's leading decimal
// digits (with an optional sign), so "0" written as text and 0 written as a
// number read alike. A store that cannot be read or is damaged reads as
// empty (every key missing) and is never written.
class Preferences {
public:
    explicit Preferences(platform::Settings& store) : m_store(store) {}

    std::optional<std::string> Value(const std::string& key) { return m_store.Value(key); }
    // A value that could not be stored is one line on standard error.
    void SetValue(const std::string& key, const std::string& value);

    bool Has(const std::string& key) { return Value(key).has_value(); }
    std::string String(const std::string& key) { return Value(key).value_or(""); }
    long long Integer(const std::string& key);
    void SetInteger(const std::string& key, long long value) {
        SetValue(key, std::to_string(value));
    }

private:
    platform::Settings& m_store;
};

// Writes the defaults that are missing ("server" and "midi" empty, "port" 0),
// then "1" under "prefs".
void SetPrefs(Preferences& prefs);

} // namespace pallorwind::osx
