#include "platform/settings/QtSettings.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <map>
#include <memory>
#include <mutex>

namespace pallorwind::platform {
namespace {

std::unique_ptr<QSettings> Open(const std::string& organisation, const std::string& application) {
    auto settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                QString::fromStdString(organisation),
                                                QString::fromStdString(application));
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

// QSettings keeps what it read of a file for the whole process, and reads the
// file again only when its size or time has changed; a fault in the file's
// lines is told only to the object that read them. So whether the file as it
// is now was found faulty is kept here, by its path.
struct Reading {
    qint64 size = -1;
    QDateTime modified;
    bool faulty = false;
};

bool Usable(QSettings& settings) {
    settings.allKeys(); // reads what is not read yet, which sets the status
    const QString path = settings.fileName();
    const QFileInfo file(path);
    const bool faultyNow = settings.status() != QSettings::NoError;
    bool faulty = false;
    {
        static std::mutex lock;
        static std::map<QString, Reading> readings;
        const std::lock_guard guard(lock);
        Reading& last = readings[path];
        if (faultyNow || last.size != file.size() || last.modified != file.lastModified())
            last = {file.size(), file.lastModified(), faultyNow};
        faulty = last.faulty;
    }
    return !faulty && !LooksDamaged(settings);
}

} // namespace

QtSettings::QtSettings(std::string organisation, std::string application)
    : m_organisation(std::move(organisation)), m_application(std::move(application)) {
}

std::optional<std::string> QtSettings::Value(const std::string& key) {
    const auto settings = Open(m_organisation, m_application);
    if (!Usable(*settings))
        return std::nullopt;
    const QVariant value = settings->value(QString::fromStdString(key));
    if (!value.isValid())
        return std::nullopt;
    const QString text = value.typeId() == QMetaType::QStringList
                             ? value.toStringList().join(QLatin1Char(','))
                             : value.toString();
    return text.toStdString();
}

SettingsWrite QtSettings::SetValue(const std::string& key, const std::string& value) {
    const auto settings = Open(m_organisation, m_application);
    if (!Usable(*settings))
        return SettingsWrite::Damaged;
    settings->setValue(QString::fromStdString(key), QString::fromStdString(value));
    settings->sync();
    return settings->status() == QSettings::NoError ? SettingsWrite::Stored : SettingsWrite::Failed;
}

std::string QtSettings::Where() const {
    return Open(m_organisation, m_application)->fileName().toStdString();
}

} // namespace pallorwind::platform
