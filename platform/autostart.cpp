#include "platform/autostart.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>

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

} // namespace

namespace platform {

bool isStartedAtLogin()
{
    QFile entry(entryPath());
    if (!entry.open(QIODevice::ReadOnly))
        return false;
    // An entry the desktop's own settings switched off starts nothing.
    for (const QByteArray &line : entry.readAll().split('\n')) {
        const QByteArray key = line.left(line.indexOf('=')).trimmed();
        const QByteArray value = line.mid(line.indexOf('=') + 1).trimmed();
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false"))
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
        desktopExecValue(QCoreApplication::applicationFilePath()).toUtf8() +
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

namespace platform {

QString desktopExecValue(const QString &program)
{
    // Quoted where the program holds a reserved character, with the quote, the
    // backtick, the dollar and the backslash escaped inside the quotes; '%'
    // starts a field code, so it is doubled.
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString argument = program;
    if (std::any_of(program.begin(), program.end(), [](QChar c) { return reserved.contains(c); })) {
        for (const char *c : {"\\", "\"", "`", "$"})
            argument.replace(QLatin1String(c), QLatin1String("\\") + QLatin1String(c));
        argument = QLatin1Char('"') + argument + QLatin1Char('"');
    }
    argument.replace(QLatin1Char('%'), QLatin1String("%%"));
    // GLib looks the program up before it turns "%%" back into '%', and finds
    // none: env is found, and gets the program's path as GLib hands it over.
    if (program.contains(QLatin1Char('%')))
        argument.prepend(QLatin1String("env "));
    // Last, the escapes of every value of the file.
    return argument.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"));
}

} // namespace platform
