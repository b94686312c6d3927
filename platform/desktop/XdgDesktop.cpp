#include "platform/desktop/XdgDesktop.h"

#include "platform/app/Log.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

#include <cstdio>

namespace pallorwind::platform {
namespace {

void Say(const QString& what) {
    Log::Linef("desktop: %s", what.toLocal8Bit().constData());
}

// An XDG base folder: the variable's value when it is an absolute path, else
// `fallback` under the home folder.
QString BaseDir(const char* variable, const char* fallback) {
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return value;
    return QDir::homePath() + QLatin1Char('/') + QLatin1String(fallback);
}

QString DataHome() {
    return BaseDir("XDG_DATA_HOME", ".local/share");
}

QString ConfigHome() {
    return BaseDir("XDG_CONFIG_HOME", ".config");
}

// Writes `content` to `path` atomically unless it holds exactly that already.
// Returns whether the file changed; false on an error, which it logs.
bool WriteIfChanged(const QString& path, const QByteArray& content) {
    QFile existing(path);
    if (existing.open(QIODevice::ReadOnly) && existing.readAll() == content)
        return false;
    existing.close();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        Say(QStringLiteral("cannot create the folder of %1").arg(path));
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.commit()) {
        Say(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

QString XmlEscaped(const std::string& text) {
    return QString::fromStdString(text).toHtmlEscaped();
}

// A value of type string or localestring in a desktop entry.
QString EntryValue(const std::string& text) {
    QString value;
    for (QChar c : QString::fromStdString(text)) {
        switch (c.unicode()) {
        case '\\':
            value += QLatin1String("\\\\");
            break;
        case '\n':
            value += QLatin1String("\\n");
            break;
        case '\t':
            value += QLatin1String("\\t");
            break;
        case '\r':
            value += QLatin1String("\\r");
            break;
        default:
            value += c;
        }
    }
    if (value.startsWith(QLatin1Char(' ')))
        value = QLatin1String("\\s") + value.mid(1);
    return value;
}

} // namespace

std::string DesktopExecArgument(const std::string& path) {
    // Characters that make an argument need quotes; inside the quotes ", `,
    // $ and \ take a backslash. A literal % is written %%, and the whole
    // value then escapes each backslash once more as a string value.
    static const std::string kReserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string arg;
    const bool quote = path.empty() || path.find_first_of(kReserved) != std::string::npos;
    for (char c : path) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            arg += '\\';
        if (c == '%')
            arg += '%';
        arg += c;
    }
    if (quote)
        arg = '"' + arg + '"';
    std::string value;
    for (char c : arg) {
        if (c == '\\')
            value += '\\';
        value += c;
    }
    return value;
}

void XdgDesktop::RegisterFileType(const FileType& type) {
    const QString data = DataHome();
    const QString iconName =
        QString::fromStdString(type.mimeType).replace(QLatin1Char('/'), QLatin1Char('-'));
    bool changed = false;

    QString iconElement;
    if (!type.iconPath.empty()) {
        const QString source = QString::fromStdString(type.iconPath);
        QFile icon(source);
        if (icon.open(QIODevice::ReadOnly)) {
            const QString suffix = QFileInfo(source).suffix().toLower();
            const QString size = suffix == QLatin1String("svg") ? QStringLiteral("scalable")
                                                                : QStringLiteral("48x48");
            changed |= WriteIfChanged(QStringLiteral("%1/icons/hicolor/%2/mimetypes/%3.%4")
                                          .arg(data, size, iconName, suffix),
                                      icon.readAll());
            iconElement = QStringLiteral("    <icon name=\"%1\"/>\n").arg(iconName.toHtmlEscaped());
        } else {
            Say(QStringLiteral("cannot read the icon %1").arg(source));
        }
    }

    const QString xml =
        QStringLiteral(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
            "  <mime-type type=\"%1\">\n"
            "    <comment>%2</comment>\n"
            "%3"
            "    <glob pattern=\"%4\"/>\n"
            "  </mime-type>\n"
            "</mime-info>\n")
            .arg(XmlEscaped(type.mimeType), XmlEscaped(type.comment), iconElement,
                 XmlEscaped(type.glob));
    const QString mimeDir = data + QStringLiteral("/mime");
    changed |= WriteIfChanged(
        mimeDir + QStringLiteral("/packages/") + iconName + QStringLiteral(".xml"), xml.toUtf8());

    // The database knows the type once it has a file for it; a package that
    // was installed but never built into it counts as a change.
    if (!changed &&
        QFileInfo::exists(mimeDir + QLatin1Char('/') + QString::fromStdString(type.mimeType) +
                          QStringLiteral(".xml")))
        return;
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("update-mime-database"));
    if (tool.isEmpty()) {
        Say(QStringLiteral("update-mime-database is not installed; %1 is registered at the next "
                           "update of the MIME database")
                .arg(QString::fromStdString(type.mimeType)));
        return;
    }
    QProcess update;
    update.setProgram(tool);
    update.setArguments({mimeDir});
    update.setStandardOutputFile(QProcess::nullDevice());
    update.setStandardErrorFile(QProcess::nullDevice());
    if (!update.startDetached())
        Say(QStringLiteral("cannot start %1").arg(tool));
}

void XdgDesktop::SetStartAtLogin(const LoginItem& item, bool on) {
    const QString path = ConfigHome() + QStringLiteral("/autostart/") +
                         QString::fromStdString(item.id) + QStringLiteral(".desktop");
    if (!on) {
        if (QFile::exists(path) && !QFile::remove(path))
            Say(QStringLiteral("cannot remove %1").arg(path));
        return;
    }
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=%1\n"
                                         "Exec=%2\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(EntryValue(item.name),
                                   QString::fromStdString(DesktopExecArgument(item.executable)));
    WriteIfChanged(path, entry.toUtf8());
}

void XdgDesktop::OpenUrl(const std::string& url) {
    if (!QDesktopServices::openUrl(QUrl(QString::fromStdString(url))))
        Say(QStringLiteral("cannot open %1").arg(QString::fromStdString(url)));
}

} // namespace pallorwind::platform
