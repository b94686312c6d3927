#include "osx/Preferences.h"

#include <QSettings>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace pallorwind::osx {

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

namespace {
// The per-user store only: no system-wide or organisation-wide values (the
// other program shares the organisation) are mixed in.
std::unique_ptr<QSettings> Open(const std::string& path) {
    auto settings =
        path.empty()
            ? std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                          "Pallorwind", "Pallorwind")
            : std::make_unique<QSettings>(QString::fromStdString(path), QSettings::IniFormat);
    settings->setFallbacksEnabled(false);
    return settings;
}
} // namespace

QtPreferences::QtPreferences() = default;
QtPreferences::QtPreferences(const std::string& iniPath) : m_path(iniPath) {
}
QtPreferences::~QtPreferences() = default;

std::optional<std::string> QtPreferences::Value(const std::string& key) {
    const auto settings = Open(m_path);
    const QVariant value = settings->value(QString::fromStdString(key));
    if (!value.isValid())
        return std::nullopt;
    return value.toString().toStdString();
}

void QtPreferences::SetValue(const std::string& key, const std::string& value) {
    const auto settings = Open(m_path);
    settings->setValue(QString::fromStdString(key), QString::fromStdString(value));
    settings->sync();
    if (settings->status() != QSettings::NoError)
        std::fprintf(stderr, "pallorwind: could not store the preference \"%s\"\n", key.c_str());
}

} // namespace pallorwind::osx
