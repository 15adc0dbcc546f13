#include "testsupport.h"

#include "platform/win32.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>

void ignoreProcessEnds()
{
    platform::setProcessEnder([](const QString &) {});
}

[[maybe_unused]] static const bool g_ignoring = (ignoreProcessEnds(), true);

bool isWindows()
{
    return QSysInfo::kernelType() == QLatin1String("winnt");
}

bool wineLacks(const char *difference)
{
    return qEnvironmentVariable("GREENLARK_WINE_LACKS")
        .split(QLatin1Char(' '))
        .contains(QLatin1String(difference));
}

QString storesNotPrivate()
{
    // Internet Options, the Run key and the processes are the user's own,
    // except in the prefix Wine runs the tests in.
    if (isWindows() && qEnvironmentVariableIsEmpty("GREENLARK_WINE_LACKS"))
        return QStringLiteral("not under Wine in the build's own prefix (tests/wine-run.sh)");
    // Each folder set, and not where the user's own settings are.
    for (const auto &[name, usersOwn] :
         {std::pair{"XDG_CONFIG_HOME", "/.config"}, std::pair{"XDG_DATA_HOME", "/.local/share"}})
        if (qEnvironmentVariableIsEmpty(name) ||
            QFileInfo(qEnvironmentVariable(name)).absoluteFilePath() == QDir::homePath() + usersOwn)
            return QStringLiteral("%1 is not a private folder").arg(name);
    if (qEnvironmentVariable("GSETTINGS_BACKEND") != QLatin1String("keyfile"))
        return QStringLiteral("GSETTINGS_BACKEND is not keyfile: GNOME's settings are the user's");
    if (internetSettingsPath().isEmpty())
        return QStringLiteral("GREENLARK_INTERNET_SETTINGS names no private stand-in file");
    return QString();
}

platform::ProxyStores storesOfBackend(const QByteArray &backend)
{
    const QByteArray file = qgetenv("GREENLARK_INTERNET_SETTINGS");
    qunsetenv("GREENLARK_INTERNET_SETTINGS");
    qputenv("GREENLARK_PROXY_BACKEND", backend);
    platform::ProxyStores stores = platform::makeProxyStores();
    qputenv("GREENLARK_INTERNET_SETTINGS", file);
    qunsetenv("GREENLARK_PROXY_BACKEND");
    return stores;
}

QString internetSettingsPath()
{
    return qEnvironmentVariable("GREENLARK_INTERNET_SETTINGS");
}

QVariant internetSetting(const QString &key)
{
    // QSettings caches a file by its path and may miss a rewrite of the same
    // size within the same timestamp, so read a fresh copy every time.
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("copy.ini"));
    if (!QFile::copy(internetSettingsPath(), copy))
        return QVariant();
    return QSettings(copy, QSettings::IniFormat).value(key);
}

void seedOptions(const ProxyOptions &options)
{
    if (!platform::makeInternetOptionsStore()->write(options))
        qFatal("the user's internet options cannot be seeded");
}

QString internetOptionsText()
{
    if (!isWindows()) // the options, without the count of notifications after them
        return QString::fromUtf8(fileBytes(internetSettingsPath())).split('[').value(1).trimmed();
    const QSettings registry(QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\"
                                            "CurrentVersion\\Internet Settings"),
                             QSettings::NativeFormat);
    QStringList values;
    for (const QString name : {"AutoConfigURL", "ProxyEnable", "ProxyOverride", "ProxyServer"})
        values << name + '=' + registry.value(name, "<none>").toString();
    return values.join('\n');
}

ProxyOptions storedOptions()
{
    const auto value = [](const char *key) {
        return internetSetting(QStringLiteral("DefaultConnection/") + key);
    };
    return ProxyOptions{value("Flags").toUInt(), value("ProxyServer").toString(),
                        value("ProxyBypass").toString(), value("AutoConfigUrl").toString(),
                        value("AutoDiscoveryFlags").toUInt()};
}

int notifications()
{
    return internetSetting(QStringLiteral("Notifications/SettingsChanged")).toInt();
}

QAction *menuAction(const QMenu *menu, const QString &text)
{
    QList<const QMenu *> menus{menu};
    while (!menus.isEmpty()) {
        for (QAction *action : menus.takeFirst()->actions()) {
            if (action->isVisible() && action->text() == text)
                return action;
            if (action->menu())
                menus << action->menu();
        }
    }
    qFatal("no menu entry %s", qPrintable(text));
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &contents)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QString gnomeKeyfilePath()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/glib-2.0/settings/keyfile");
}

QString kioslavercPath()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/kioslaverc");
}

QByteArray gnomeKeyfile(const QStringList &assignments)
{
    QMap<QString, QString> groups;
    for (const QString &assignment : assignments) {
        const QString path = assignment.section('=', 0, 0);
        groups["[system/proxy" + path.section('/', 0, -2) + "]\n"] +=
            path.section('/', -1) + '=' + assignment.section('=', 1) + '\n';
    }
    QString text;
    for (auto it = groups.begin(); it != groups.end(); ++it)
        text += it.key() + it.value() + '\n';
    return text.toUtf8();
}

QStringList gnomeKeys()
{
    QStringList keys;
    QString group;
    for (const QString &line :
         QString(fileBytes(gnomeKeyfilePath())).split('\n', Qt::SkipEmptyParts))
        if (line.startsWith('['))
            group = line;
        else
            keys << group + ' ' + line;
    keys.sort();
    return keys;
}

QString tipsMessage(const QWidget &window)
{
    // The stamp is the time the line was shown: within a minute of now.
    const QString text = child<QLabel>(window, "m_lbTips")->text();
    const QDateTime stamp = QDateTime::fromString(text.left(19), "yyyy-MM-dd hh:mm:ss");
    if (!stamp.isValid() || text.mid(19, 1) != ":" ||
        qAbs(stamp.secsTo(QDateTime::currentDateTime())) > 60)
        return QStringLiteral("<not a tips line of now: %1>").arg(text);
    return text.mid(20);
}

QString proxySettingsPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/proxysetting.ini");
}

std::optional<QProcessEnvironment> startDisplay(QProcess &xvfb, const QString &screen, int dpi)
{
    xvfb.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0",
                                        screen, "-dpi", QString::number(dpi)});
    if (!xvfb.waitForStarted(10000))
        return std::nullopt;
    while (!xvfb.canReadLine() && xvfb.waitForReadyRead(20000)) {
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), ':' + xvfb.readLine().trimmed());
    return environment;
}
