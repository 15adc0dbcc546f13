#include "session/proxysettingsfile.h"

#include "platform/plainini.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>

namespace proxysettings {

namespace {
const char kListenPortKey[] = "ListenPort";
const char kProxyModeKey[] = "ProxyMode";
constexpr int kMinListenPort = 1;
constexpr int kMaxListenPort = 65534;
// Qt's reader never sees a file it cannot take safely: no file greenlark wrote.
bool isPlainFile(const QString &path)
{
    QFile file(path);
    return !file.open(QIODevice::ReadOnly) ||
           platform::isPlainIni(file.read(std::min(file.size(), platform::kMaxPlainIniSize) + 1));
}

} // namespace

bool isValidListenPort(int port)
{
    return port >= kMinListenPort && port <= kMaxListenPort;
}

QString fileIn(const QString &programFolder, bool programFolderWritable,
               const QString &configFolder)
{
    const QString beside = programFolder + QLatin1String("/proxysetting.ini");
    if (programFolderWritable || QFileInfo::exists(beside))
        return beside;
    return configFolder + QLatin1String("/proxysetting.ini");
}

QString path()
{
    const QString program = QCoreApplication::applicationDirPath();
    return fileIn(program, QFileInfo(program).isWritable(),
                  QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}

Values read(const QString &path)
{
    Values values;
    if (!isPlainFile(path))
        return values;
    const QSettings settings(path, QSettings::IniFormat);
    bool ok = false;
    const int port = settings.value(kListenPortKey, kDefaultListenPort).toInt(&ok);
    // A port that cannot be listened on would point the system proxy at nothing.
    if (ok && isValidListenPort(port))
        values.listenPort = port;
    values.proxyMode = settings.value(kProxyModeKey, kDefaultProxyMode).toInt();
    return values;
}

bool write(const QString &path, std::optional<int> listenPort, std::optional<int> proxyMode)
{
    // The user's configuration folder may not be there on a first start.
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Kept for the user to read: it is not greenlark's.
    if (!isPlainFile(path))
        return false;
    QSettings settings(path, QSettings::IniFormat);
    if (listenPort)
        settings.setValue(kListenPortKey, *listenPort);
    if (proxyMode)
        settings.setValue(kProxyModeKey, *proxyMode);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace proxysettings
