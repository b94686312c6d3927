#include "win/app/QtSettingsStore.h"

#include <QFile>
#include <QSettings>
#include <QStringList>

#include <cstdio>
#include <memory>

namespace pallorwind::win {
namespace {

// The per-user store only: no system-wide or organisation-wide values are
// mixed in.
std::unique_ptr<QSettings> Open() {
    auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                "Pallorwind", "PallorwindWIN");
    settings->setFallbacksEnabled(false);
    return settings;
}

// The INI reader accepts almost anything; a file that is not text (NUL bytes,
// or not UTF-8) is damaged even when QSettings finds no fault in it. (Where
// the native store is not a file, there is nothing to look at.)
bool LooksDamaged(const QSettings& settings) {
    QFile file(settings.fileName());
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadOnly))
        return true;
    const QByteArray content = file.readAll();
    if (content.contains('\0'))
        return true;
    return QString::fromUtf8(content).toUtf8() != content;
}

bool Usable(QSettings& settings) {
    settings.allKeys(); // reads the file, which sets the status
    return settings.status() == QSettings::NoError && !LooksDamaged(settings);
}

} // namespace

std::string QtSettingsStore::ReadSetting(const std::string& name) {
    const auto settings = Open();
    if (!Usable(*settings))
        return "";
    const QVariant value = settings->value(QString::fromStdString(name));
    // A hand-edited value with commas reads back as a list.
    const QString text = value.typeId() == QMetaType::QStringList
                             ? value.toStringList().join(QLatin1Char(','))
                             : value.toString();
    return ReadableValue(name, text.toStdString());
}

void QtSettingsStore::WriteSetting(const std::string& name, const std::string& value) {
    const auto settings = Open();
    if (!Usable(*settings)) {
        std::fprintf(stderr, "settings: %s not stored, %s cannot be read or is damaged\n",
                     name.c_str(), qPrintable(settings->fileName()));
        return;
    }
    settings->setValue(QString::fromStdString(name), QString::fromStdString(value));
    settings->sync();
    if (settings->status() != QSettings::NoError)
        std::fprintf(stderr, "settings: %s not stored, cannot write %s\n", name.c_str(),
                     qPrintable(settings->fileName()));
}

} // namespace pallorwind::win
