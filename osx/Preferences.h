// The bridge's per-user preferences: "server", "port", "midi" and "prefs".
#pragma once

#include <map>
#include <optional>
#include <string>

namespace pallorwind::osx {

inline constexpr const char* kPrefServer = "server";
inline constexpr const char* kPrefPort = "port";
inline constexpr const char* kPrefMidi = "midi";
inline constexpr const char* kPrefPrefs = "prefs";

// Values are kept as text; an integer reads the text's leading decimal
// digits (with an optional sign), so "0" written as text and 0 written as a
// number read alike.
class Preferences {
public:
    virtual ~Preferences() = default;
    virtual std::optional<std::string> Value(const std::string& key) = 0;
    virtual void SetValue(const std::string& key, const std::string& value) = 0;

    bool Has(const std::string& key) { return Value(key).has_value(); }
    std::string String(const std::string& key) { return Value(key).value_or(""); }
    long long Integer(const std::string& key);
    void SetInteger(const std::string& key, long long value) {
        SetValue(key, std::to_string(value));
    }
};

// Writes the defaults that are missing ("server" and "midi" empty, "port" 0),
// then "1" under "prefs".
void SetPrefs(Preferences& prefs);

// In memory, for tests.
class MemoryPreferences final : public Preferences {
public:
    std::optional<std::string> Value(const std::string& key) override {
        const auto it = values.find(key);
        if (it == values.end())
            return std::nullopt;
        return it->second;
    }
    void SetValue(const std::string& key, const std::string& value) override {
        values[key] = value;
    }
    std::map<std::string, std::string> values;
};

// QSettings("Pallorwind", "Pallorwind"), or an INI file of a given path.
class QtPreferences final : public Preferences {
public:
    QtPreferences();
    explicit QtPreferences(const std::string& iniPath);
    ~QtPreferences() override;
    std::optional<std::string> Value(const std::string& key) override;
    void SetValue(const std::string& key, const std::string& value) override;

private:
    std::string m_path; // empty: the per-user store
};

} // namespace pallorwind::osx
