// The desktops' own proxy keys and their WinINet view: per desktop a state, a pair
// of pure functions between state and view, and a store around them.
#pragma once

#include "platform/proxybackend.h"

#ifndef Q_OS_WIN

#include <QStringList>
#include <array>
#include <optional>

namespace platform {

struct ProxyHost
{
    QString host; // empty: this protocol goes direct
    int port = 0; // 0: none given

    bool operator==(const ProxyHost &o) const { return host == o.host && port == o.port; }
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
// One host with an optional port; a port is digits up to 65535.
bool parseHostPort(const QString &text, ProxyHost *host);
bool parsePort(const QString &digits, int *port);
QString formatHost(const QString &host); // brackets an IPv6 address

// The setter functions below take the desktop's current state and change only the
// keys whose meaning differs, so that writing a view back changes nothing.

struct GnomeProxyState
{
    QString mode = QStringLiteral("none");
    QString autoconfigUrl;
    QStringList ignoreHosts;
    ProxyHosts hosts;

    bool operator==(const GnomeProxyState &o) const
    {
        return mode == o.mode && autoconfigUrl == o.autoconfigUrl && ignoreHosts == o.ignoreHosts &&
               hosts == o.hosts;
    }
};
bool gnomeToInternet(const GnomeProxyState &state, InternetOptions *options);
bool internetToGnome(const InternetOptions &options, GnomeProxyState *state);

// Group "Proxy Settings" of kioslaverc as KConfig reads it; an absent key reads empty.
struct KdeProxyState
{
    QString proxyType;
    QString configScript;
    std::array<QString, kProtocolCount> proxies; // httpProxy, httpsProxy, ftpProxy, socksProxy
    QString noProxyFor;

    bool operator==(const KdeProxyState &o) const
    {
        return proxyType == o.proxyType && configScript == o.configScript && proxies == o.proxies &&
               noProxyFor == o.noProxyFor;
    }
};
// False for what KDE itself would not have written: a ProxyType that is not 0 to 3,
// an unparsable port.
bool kdeToInternet(const KdeProxyState &state, InternetOptions *options);
bool internetToKde(const InternetOptions &options, KdeProxyState *state);

// A desktop backend that can follow another one (GNOME's settings beside KDE's).
class DesktopProxy : public ProxyBackend
{
public:
    // Ties the desktop's present state to a view, so that writing that view later
    // gives this state back exactly, whatever the view cannot carry.
    virtual void keepStartState(const InternetOptions &view) = 0;
};

// A desktop's store (load, save, notify) around its mapping.
template <typename Store> class DesktopProxyBackend final : public DesktopProxy
{
public:
    using State = typename Store::State;

    template <typename... Args>
    explicit DesktopProxyBackend(Args &&...args) : m_store(std::forward<Args>(args)...)
    {
    }

    bool read(InternetOptions *options) override
    {
        State state;
        if (!m_store.load(&state) || !Store::toInternet(state, options))
            return false;
        keep(state, *options);
        return true;
    }

    bool write(const InternetOptions &options) override
    {
        State current;
        InternetOptions view;
        if (!m_store.load(&current) || !Store::toInternet(current, &view))
            return false;
        keep(current, view);
        view.assignPresent(options);
        State target = current;
        if (view.sameValues(m_start->view))
            target = m_start->state;
        else if (!Store::fromInternet(view, &target))
            return false;
        return target == current || m_store.save(target, current);
    }

    bool notify(DWORD option) override { return m_store.notify(option); }

    void keepStartState(const InternetOptions &view) override
    {
        State state;
        if (!m_start && m_store.load(&state))
            m_start = Start{state, view};
    }

private:
    struct Start
    {
        State state;
        InternetOptions view;
    };

    void keep(const State &state, const InternetOptions &view)
    {
        if (!m_start)
            m_start = Start{state, view};
    }

    Store m_store;
    std::optional<Start> m_start;
};

std::unique_ptr<DesktopProxy> makeGnomeDesktopProxy(const QString &schemaFolder);

} // namespace platform

#endif // Q_OS_WIN
