#include "platform/autostart.h"

#include <QCoreApplication>
#include <QDir>

#ifdef Q_OS_WIN

#include <QSettings>

namespace {

const char kRunKey[] = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kValueName[] = "greenlark";

} // namespace

namespace platform {

bool isStartedAtLogin()
{
    return QSettings(QLatin1String(kRunKey), QSettings::NativeFormat)
        .contains(QLatin1String(kValueName));
}

bool setStartedAtLogin(bool on, QString *why)
{
    QSettings run(QLatin1String(kRunKey), QSettings::NativeFormat);
    if (on) {
        // Quoted: the path may hold blanks, and Windows would run its first word.
        run.setValue(QLatin1String(kValueName),
                     QLatin1Char('"') +
                         QDir::toNativeSeparators(QCoreApplication::applicationFilePath()) +
                         QLatin1Char('"'));
    } else {
        run.remove(QLatin1String(kValueName));
    }
    run.sync();
    if (run.status() != QSettings::NoError) {
        *why = QStringLiteral("the Run key cannot be written");
        return false;
    }
    return true;
}

} // namespace platform

#else

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString entryPath()
{
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty())
        configHome = QDir::homePath() + QLatin1String("/.config");
    return configHome + QLatin1String("/autostart/greenlark.desktop");
}

// The Exec key's quoting: a path with blanks or reserved characters goes in
// double quotes, with ", `, $ and \ escaped inside them.
QString execArgument(const QString &path)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool plain = true;
    for (const QChar c : path)
        plain = plain && !reserved.contains(c);
    if (plain)
        return path;
    QString quoted = path;
    for (const char *c : {"\\", "\"", "`", "$"})
        quoted.replace(QLatin1String(c), QLatin1String("\\") + QLatin1String(c));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

namespace platform {

bool isStartedAtLogin()
{
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly))
        return false;
    // An entry the desktop's own settings switched off starts nothing.
    for (const QByteArray &line : entry.readAll().split('\n')) {
        if (line.trimmed() == "Hidden=true")
            return false;
    }
    return true;
}

bool setStartedAtLogin(bool on, QString *why)
{
    const QString path = entryPath();
    if (!on) {
        if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
            return true;
        QFile entry(path);
        if (!entry.remove()) {
            *why = entry.errorString();
            return false;
        }
        return true;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        *why = QStringLiteral("%1 cannot be made").arg(QFileInfo(path).absolutePath());
        return false;
    }
    const QByteArray contents =
        QByteArray("[Desktop Entry]\nType=Application\nName=greenlark\nExec=") +
        execArgument(QCoreApplication::applicationFilePath()).toUtf8() +
        "\nIcon=greenlark\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    QSaveFile entry(path);
    if (!entry.open(QIODevice::WriteOnly) || entry.write(contents) != contents.size() ||
        !entry.commit()) {
        *why = entry.errorString();
        return false;
    }
    return true;
}

} // namespace platform

#endif // Q_OS_WIN
