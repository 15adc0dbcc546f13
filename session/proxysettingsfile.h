// "proxysetting.ini": the listen port and the proxy mode between runs. The user
// may edit it by hand, so what cannot be used reads as the default.
#pragma once

#include <QString>
#include <optional>

namespace proxysettings {

constexpr int kDefaultListenPort = 1081;
// No mode chosen yet: the start takes it as global, and the page's first OK
// stores the mode it shows.
constexpr int kDefaultProxyMode = 1;

struct Values
{
    int listenPort = kDefaultListenPort;
    int proxyMode = kDefaultProxyMode;
};

// The PAC server sits one port above the listen port, so the listen port
// stops one short of the top.
bool isValidListenPort(int port);

// Beside the program when its folder is writable or holds the file already (a
// portable copy stays portable), else in the user's configuration folder, so
// that an installed copy keeps its settings.
QString fileIn(const QString &programFolder, bool programFolderWritable,
               const QString &configFolder);
// That place for this program and this user.
QString path();

Values read(const QString &path);
// Stores the values given, the others as they are; false when the file did not
// take them (a folder the user may not write, a full disk).
bool write(const QString &path, std::optional<int> listenPort, std::optional<int> proxyMode);

} // namespace proxysettings
