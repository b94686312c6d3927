#include "osx/Preferences.h"

#include <QSettings>

#include <cctype>
#include <cstdio>
#include <memory>

namespace pallorwind::osx {

long long Preferences::Integer(const std::string& key) {
    const std::string text = String(key);
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value > 100000000000LL)
            break; // far beyond any port; no overflow
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
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
std::unique_ptr<QSettings> Open(const std::string& path) {
    if (path.empty())
        return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                           "Pallorwind", "Pallorwind");
    return std::make_unique<QSettings>(QString::fromStdString(path), QSettings::IniFormat);
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
