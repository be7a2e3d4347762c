#include "LaunchAtLogin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kestrova {

namespace {

Error failure(const QString& what, const QString& why) {
    return Error{QStringLiteral("%1: %2").arg(what, why), QStringLiteral("LaunchAtLogin"), 0};
}

// Reads the value of `key` in the [Desktop Entry] group.
QString entryValue(const QByteArray& contents, const QByteArray& key) {
    bool inMainGroup = false;
    for (const QByteArray& raw : contents.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        if (!inMainGroup || line.startsWith('#'))
            continue;
        const int eq = line.indexOf('=');
        if (eq > 0 && line.left(eq).trimmed() == key)
            return QString::fromUtf8(line.mid(eq + 1).trimmed());
    }
    return {};
}

} // namespace

QString LaunchAtLogin::entryPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/kestrova.desktop");
}

QString LaunchAtLogin::failureMessage(bool enabling) {
    return QStringLiteral("Couldn't ") +
           (enabling ? QStringLiteral("enable") : QStringLiteral("disable")) +
           QStringLiteral(" launch at login");
}

bool LaunchAtLogin::isEnabled() {
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray contents = file.read(1 << 20);
    if (entryValue(contents, "Hidden").compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
        return false;
    if (entryValue(contents, "X-GNOME-Autostart-enabled")
            .compare(QLatin1String("false"), Qt::CaseInsensitive) == 0)
        return false;
    return true;
}

QString LaunchAtLogin::quoteExecArgument(const QString& argument) {
    // Inside double quotes, ", `, $ and \ take a backslash; then the general string
    // escaping doubles every backslash, and % must be written %%.
    QString quoted;
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'\\', QStringLiteral("\\\\"));
    quoted.replace(u'%', QStringLiteral("%%"));
    quoted.replace(u'\n', QStringLiteral("\\n"));
    return u'"' + quoted + u'"';
}

QByteArray LaunchAtLogin::entryFor(const QString& executable) {
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Version=1.0\n"
                          "Name=kestrova\n"
                          "Comment=Take screenshots of a screen region\n"
                          "Exec=%1\n"
                          "Icon=kestrova\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(quoteExecArgument(executable))
        .toUtf8();
}

Status LaunchAtLogin::setEnabled(bool on) {
    const bool enabled = isEnabled();
    const QString path = entryPath();
    if (on) {
        if (enabled)
            return std::nullopt;
        const QString folder = QFileInfo(path).absolutePath();
        std::error_code ec;
        std::filesystem::create_directories(folder.toStdString(), ec);
        if (ec)
            return failure(QStringLiteral("Couldn't create the folder “%1”").arg(folder),
                           QString::fromStdString(ec.message()));
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return failure(QStringLiteral("Couldn't write “%1”").arg(path), file.errorString());
        file.write(entryFor(QCoreApplication::applicationFilePath()));
        if (!file.commit())
            return failure(QStringLiteral("Couldn't write “%1”").arg(path), file.errorString());
        return std::nullopt;
    }
    if (!enabled)
        return std::nullopt;
    if (::remove(QFile::encodeName(path).constData()) != 0) {
        // Read now: building the message's other half may change errno.
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        return failure(QStringLiteral("Couldn't remove “%1”").arg(path), why);
    }
    return std::nullopt;
}

} // namespace kestrova
