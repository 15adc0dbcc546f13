#include "testsupport.h"

#include "platform/win32.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

void ignoreProcessEnds()
{
    platform::setProcessEnder([](const QString &) {});
}

namespace {

[[maybe_unused]] const bool g_ignoring = (ignoreProcessEnds(), true);

} // namespace

QString internetSettingsPath()
{
    return QString::fromLocal8Bit(qgetenv("GREENLARK_INTERNET_SETTINGS"));
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
    QSettings store(internetSettingsPath(), QSettings::IniFormat);
    store.beginGroup(QStringLiteral("DefaultConnection"));
    store.setValue(QStringLiteral("Flags"), uint(options.flags));
    store.setValue(QStringLiteral("AutoDiscoveryFlags"), uint(options.autoDiscoveryFlags));
    const QStringList keys{"ProxyServer", "ProxyBypass", "AutoConfigUrl"};
    const QStringList values{options.proxyServer, options.proxyBypass, options.autoConfigUrl};
    for (int i = 0; i < keys.size(); ++i) {
        if (values.at(i).isNull())
            store.remove(keys.at(i));
        else
            store.setValue(keys.at(i), values.at(i));
    }
}

ProxyOptions storedOptions()
{
    const auto value = [](const char *key) {
        return internetSetting(QStringLiteral("DefaultConnection/") + QLatin1String(key));
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

QString tipsMessage(const QWidget &window)
{
    static const QRegularExpression line(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:(.*)$"),
        QRegularExpression::DotMatchesEverythingOption);
    const QString text = child<QLabel>(window, "m_lbTips")->text();
    const QRegularExpressionMatch match = line.match(text);
    return match.hasMatch() ? match.captured(1) : QStringLiteral("<not a tips line: %1>").arg(text);
}

QString proxySettingsPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/proxysetting.ini");
}
