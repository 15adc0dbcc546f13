// The desktops' own proxy keys and their WinINet view: per desktop a state, a pair
// of pure functions between state and view, and a store around them.
#pragma once

#include "platform/proxystore.h"

#ifndef Q_OS_WIN

#include <QStringList>
#include <array>
#include <optional>

namespace platform {

struct ProxyHost
{
    QString host;     // empty: this protocol goes direct
    int port = 0;     // 0: none given
    QString userInfo; // "user:password" in front of the host, as KDE keeps it

    bool operator==(const ProxyHost &o) const
    {
        return host == o.host && port == o.port && userInfo == o.userInfo;
    }
};

enum ProxyProtocol
{
    kHttp,
    kHttps,
    kFtp,
    kSocks,
    kProtocolCount
};
using ProxyHosts = std::array<ProxyHost, kProtocolCount>;

// "host:port" when http and https agree and nothing else is set, else
// "http=h:p;https=h:p;ftp=h:p;socks=h:p" with the empty ones left out; null when
// nothing is set.
QString formatProxyServer(const ProxyHosts &hosts);
bool parseProxyServer(const QString &server, ProxyHosts *hosts);
// One host with an optional port and optional "user:password@" before it; a
// port is digits up to 65535.
bool parseHostPort(const QString &text, ProxyHost *host);
bool parsePort(const QString &digits, int *port);
// Credentials, then the host; an IPv6 address in brackets.
QString formatHost(const ProxyHost &proxy);

// The setter functions below take the desktop's current state and change only the
// keys whose meaning differs, so that writing a view back changes nothing.

// Each state also goes to and from the journal whole, keys the five options
// cannot carry included; a journal entry that is not such a state is refused.

struct GnomeProxyState
{
    QString mode = QStringLiteral("none");
    QString autoconfigUrl;
    QStringList ignoreHosts;
    ProxyHosts hosts;
    bool useAuthentication = false; // of the http proxy

    bool operator==(const GnomeProxyState &o) const
    {
        return mode == o.mode && autoconfigUrl == o.autoconfigUrl && ignoreHosts == o.ignoreHosts &&
               hosts == o.hosts && useAuthentication == o.useAuthentication;
    }
};
bool gnomeToInternet(const GnomeProxyState &state, ProxyOptions *options);
bool internetToGnome(const ProxyOptions &options, GnomeProxyState *state);
QJsonObject gnomeToJson(const GnomeProxyState &state);
bool jsonToGnome(const QJsonObject &json, GnomeProxyState *state);

// Group "Proxy Settings" of kioslaverc as KConfig reads it; an absent key reads empty.
struct KdeProxyState
{
    QString proxyType;
    QString configScript;
    std::array<QString, kProtocolCount> proxies; // httpProxy, httpsProxy, ftpProxy, socksProxy
    QString noProxyFor;
    QString reversedException; // "true": NoProxyFor lists the only hosts to proxy

    bool operator==(const KdeProxyState &o) const
    {
        return proxyType == o.proxyType && configScript == o.configScript && proxies == o.proxies &&
               noProxyFor == o.noProxyFor && reversedException == o.reversedException;
    }
};
// False for what KDE itself would not have written: a ProxyType that is not 0 to 3,
// an unparsable port.
bool kdeToInternet(const KdeProxyState &state, ProxyOptions *options);
bool internetToKde(const ProxyOptions &options, KdeProxyState *state);
QJsonObject kdeToJson(const KdeProxyState &state);
bool jsonToKde(const QJsonObject &json, KdeProxyState *state);

// A desktop's store (load, save, notify) around its mapping.
template <typename Store> class DesktopProxyStore final : public ProxyStore
{
public:
    using State = typename Store::State;

    template <typename... Args>
    explicit DesktopProxyStore(Args &&...args) : m_store(std::forward<Args>(args)...)
    {
    }

    QString name() const override { return QLatin1String(Store::kName); }

    bool read(StoredProxy *stored) override
    {
        State state;
        if (!m_store.load(&state) || !Store::toInternet(state, &stored->options))
            return false;
        stored->exact = Store::toJson(state);
        return true;
    }

    bool write(const ProxyOptions &options) override
    {
        return change([&](State *target) {
            if (!Store::fromInternet(options, target))
                return false;
            Store::forGreenlark(target);
            return true;
        });
    }

    bool restore(const StoredProxy &stored) override
    {
        return change([&](State *target) {
            return stored.exact.isEmpty() ? Store::fromInternet(stored.options, target)
                                          : Store::fromJson(stored.exact, target);
        });
    }

    void notify() override { m_store.notify(); }

private:
    // Only the keys whose values differ are written, so that giving a state
    // back changes nothing that was already so.
    template <typename Edit> bool change(Edit edit)
    {
        State current;
        if (!m_store.load(&current))
            return false;
        State target = current;
        return edit(&target) && (target == current || m_store.save(target, current));
    }

    Store m_store;
};

} // namespace platform

#endif // Q_OS_WIN
