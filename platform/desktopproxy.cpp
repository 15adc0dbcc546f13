// The proxy server string of the WinINet view, shared by the desktops: both keep
// one host and port per protocol.

#include "platform/desktopproxy.h"

#ifndef Q_OS_WIN

#include <QDebug>

namespace platform {

namespace {

const char *const kProtocolNames[kProtocolCount] = {"http", "https", "ftp", "socks"};

int schemeLength(const QString &text)
{
    const int schemeEnd = text.indexOf(QLatin1String("://"));
    return schemeEnd < 0 ? 0 : schemeEnd + 3;
}

QString formatHostPort(const ProxyHost &proxy)
{
    const QString host = formatHost(proxy);
    return proxy.port == 0 ? host : host + QLatin1Char(':') + QString::number(proxy.port);
}

} // namespace

bool parsePort(const QString &digits, int *port)
{
    bool ok = false;
    const int value = digits.toInt(&ok, 10);
    // toInt takes a sign and surrounding spaces; a port is digits alone.
    if (!ok || !digits.front().isDigit() || !digits.back().isDigit() || value > 65535)
        return false;
    *port = value;
    return true;
}

QString formatHost(const ProxyHost &proxy)
{
    const QString &host = proxy.host;
    // A scheme some users type into the host field stays in front of the
    // credentials and the brackets.
    const int start = schemeLength(host);
    QString address = host.mid(start);
    if (address.contains(QLatin1Char(':')) && !address.startsWith(QLatin1Char('[')))
        address = QLatin1Char('[') + address + QLatin1Char(']');
    const QString user = proxy.userInfo.isEmpty() ? QString() : proxy.userInfo + QLatin1Char('@');
    return host.left(start) + user + address;
}

bool parseHostPort(const QString &text, ProxyHost *proxy)
{
    const int start = schemeLength(text);
    const QString scheme = text.left(start);
    QString rest = text.mid(start);
    // A password may hold any character, '@' too: the host follows the last one.
    const int at = rest.lastIndexOf(QLatin1Char('@'));
    proxy->userInfo = at < 0 ? QString() : rest.left(at);
    rest = rest.mid(at + 1);
    QString host = rest;
    QString port;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        host = rest.mid(1, close - 1);
        const QString tail = rest.mid(close + 1);
        if (!tail.isEmpty() && !tail.startsWith(QLatin1Char(':')))
            return false;
        port = tail.mid(1);
        if (tail == QLatin1String(":"))
            return false;
    } else if (rest.count(QLatin1Char(':')) == 1) {
        host = rest.section(QLatin1Char(':'), 0, 0);
        port = rest.section(QLatin1Char(':'), 1);
        if (port.isEmpty())
            return false;
    }
    // More than one colon without brackets is an IPv6 address without a port.
    proxy->host = scheme + host;
    proxy->port = 0;
    return port.isEmpty() || parsePort(port, &proxy->port);
}

QString formatProxyServer(const ProxyHosts &hosts)
{
    const bool single =
        hosts[kHttp] == hosts[kHttps] && hosts[kFtp].host.isEmpty() && hosts[kSocks].host.isEmpty();
    if (single)
        return hosts[kHttp].host.isEmpty() ? QString() : formatHostPort(hosts[kHttp]);
    QStringList parts;
    for (int p = 0; p < kProtocolCount; ++p) {
        if (!hosts[p].host.isEmpty())
            parts << QLatin1String(kProtocolNames[p]) + QLatin1Char('=') + formatHostPort(hosts[p]);
    }
    return parts.join(QLatin1Char(';'));
}

bool parseProxyServer(const QString &server, ProxyHosts *hosts)
{
    ProxyHosts parsed;
    bool ok = true;
    const bool perProtocol = server.contains(QLatin1Char('='));
    if (!perProtocol) {
        ok = server.isEmpty() || parseHostPort(server, &parsed[kHttp]);
        parsed[kHttps] = parsed[kHttp];
    }
    const QStringList parts =
        perProtocol ? server.split(QLatin1Char(';'), Qt::SkipEmptyParts) : QStringList();
    for (const QString &part : parts) {
        const QString name = part.section(QLatin1Char('='), 0, 0);
        int protocol = 0;
        while (protocol < kProtocolCount && name != QLatin1String(kProtocolNames[protocol]))
            ++protocol;
        ok = ok && protocol < kProtocolCount &&
             parseHostPort(part.section(QLatin1Char('='), 1), &parsed[protocol]);
    }
    if (!ok) {
        qDebug("Proxy settings: cannot read the proxy server \"%s\"", qUtf8Printable(server));
        return false;
    }
    *hosts = parsed;
    return true;
}

} // namespace platform

#endif // Q_OS_WIN
