// KDE Plasma's proxy settings: group "Proxy Settings" of kioslaverc, the same file
// on Plasma 5 and 6, read and written through KConfig, whose key and value
// escaping a plain INI writer does not share. KIO programs and kded's proxy scout
// are told over the session bus.

#include "platform/desktopproxy.h"

#ifndef Q_OS_WIN

#include <KConfig>
#include <KConfigGroup>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDebug>
#include <QFileInfo>
#include <QStandardPaths>

namespace platform {

namespace {

const char kGroup[] = "Proxy Settings";
const char kProxyTypeKey[] = "ProxyType";
const char kScriptKey[] = "Proxy Config Script";
const char kNoProxyKey[] = "NoProxyFor";
const char kReversedKey[] = "ReversedException";
const char *const kProxyKeys[kProtocolCount] = {"httpProxy", "httpsProxy", "ftpProxy",
                                                "socksProxy"};

enum ProxyType
{
    kNoProxy,
    kManualProxy,
    kPacProxy,
    kWpadProxy
};

bool parseProxyType(const QString &text, int *type)
{
    if (text.isEmpty()) {
        *type = kNoProxy;
        return true;
    }
    bool ok = false;
    *type = text.toInt(&ok);
    if (ok && *type >= kNoProxy && *type <= kWpadProxy)
        return true;
    // 4 (from environment variables) names variables, not a proxy: nothing in
    // the WinINet view could carry it back.
    qDebug("KDE proxy settings: ProxyType \"%s\" is not one of 0 to 3", qUtf8Printable(text));
    return false;
}

// KDE writes "http://host port"; "http://host:port" and a bare "host:port" are read too.
bool parseKdeProxy(const QString &value, ProxyHost *proxy)
{
    const int schemeEnd = value.indexOf(QLatin1String("://"));
    const QString rest = schemeEnd < 0 ? value : value.mid(schemeEnd + 3);
    const int space = rest.lastIndexOf(QLatin1Char(' '));
    // The port follows the last blank: a blank before it, in the host or in
    // the credentials, could not be written back in KDE's own form.
    bool ok = space < 0 ? parseHostPort(rest, proxy)
                        : parseHostPort(rest.left(space), proxy) && proxy->port == 0 &&
                              !rest.left(space).contains(QLatin1Char(' ')) &&
                              parsePort(rest.mid(space + 1), &proxy->port);
    if (!ok)
        qDebug("KDE proxy settings: cannot read the proxy \"%s\"", qUtf8Printable(value));
    return ok;
}

QString kdeProxy(ProxyProtocol protocol, const ProxyHost &proxy)
{
    if (proxy.host.isEmpty())
        return QString();
    const QString scheme =
        protocol == kSocks ? QStringLiteral("socks://") : QStringLiteral("http://");
    const QString host = scheme + formatHost(proxy);
    return proxy.port == 0 ? host : host + QLatin1Char(' ') + QString::number(proxy.port);
}

class KdeStore
{
public:
    using State = KdeProxyState;

    static constexpr char kName[] = "kde";

    explicit KdeStore(const QString &path) : m_path(path) {}

    static bool toInternet(const State &state, ProxyOptions *options)
    {
        return kdeToInternet(state, options);
    }
    static bool fromInternet(const ProxyOptions &options, State *state)
    {
        return internetToKde(options, state);
    }
    static QJsonObject toJson(const State &state) { return kdeToJson(state); }
    static bool fromJson(const QJsonObject &json, State *state) { return jsonToKde(json, state); }
    // greenlark's bypass list names the hosts that go direct, never the only
    // hosts to proxy.
    static void forGreenlark(State *state)
    {
        const QString reversed = state->reversedException.toLower();
        for (const char *yes : {"true", "on", "yes", "1"}) {
            if (reversed == QLatin1String(yes))
                state->reversedException = QStringLiteral("false");
        }
    }

    bool load(State *state) const
    {
        // KConfig reads a file it cannot open as an empty one.
        const QFileInfo file(filePath());
        if (file.exists() && (!file.isFile() || !file.isReadable())) {
            qDebug("KDE proxy settings: cannot read %s", qUtf8Printable(file.filePath()));
            return false;
        }
        const std::unique_ptr<KConfig> config = open();
        const KConfigGroup group(config.get(), kGroup);
        state->proxyType = group.readEntry(kProxyTypeKey, QString());
        state->configScript = group.readEntry(kScriptKey, QString());
        for (int p = 0; p < kProtocolCount; ++p)
            state->proxies[p] = group.readEntry(kProxyKeys[p], QString());
        state->noProxyFor = group.readEntry(kNoProxyKey, QString());
        state->reversedException = group.readEntry(kReversedKey, QString());
        return true;
    }

    bool save(const State &target, const State &current) const
    {
        const std::unique_ptr<KConfig> config = open();
        KConfigGroup group(config.get(), kGroup);
        std::vector<std::pair<const char *, QString>> changes;
        auto change = [&changes](const char *key, const QString &to, const QString &from) {
            if (to != from)
                changes.emplace_back(key, to);
        };
        change(kProxyTypeKey, target.proxyType, current.proxyType);
        change(kScriptKey, target.configScript, current.configScript);
        for (int p = 0; p < kProtocolCount; ++p)
            change(kProxyKeys[p], target.proxies[p], current.proxies[p]);
        change(kNoProxyKey, target.noProxyFor, current.noProxyFor);
        change(kReversedKey, target.reversedException, current.reversedException);
        for (const auto &[key, value] : changes) {
            if (group.isEntryImmutable(key)) {
                qDebug("KDE proxy settings: %s is locked", key);
                return false;
            }
        }
        for (const auto &[key, value] : changes) {
            // An emptied key goes as KDE's own settings page removes it, unless a
            // system-wide default would then show through.
            if (value.isEmpty())
                group.revertToDefault(key);
            if (group.readEntry(key, QString()) != value)
                group.writeEntry(key, value);
        }
        if (!config->sync()) {
            qDebug("KDE proxy settings: cannot write %s", qUtf8Printable(filePath()));
            return false;
        }
        return true;
    }

    void notify() const
    {
        QDBusConnection bus = QDBusConnection::sessionBus();
        if (!bus.isConnected()) {
            qDebug("KDE proxy settings: no session bus, so no program is told of the change");
            return;
        }
        QDBusMessage reparse = QDBusMessage::createSignal(
            QStringLiteral("/KIO/Scheduler"), QStringLiteral("org.kde.KIO.Scheduler"),
            QStringLiteral("reparseSlaveConfiguration"));
        reparse << QString();
        bus.send(reparse);
        // Each question to the bus below also waits until what was sent before
        // it has gone out: greenlark may end right after its last change.
        for (const char *name : {"org.kde.kded6", "org.kde.kded5"}) {
            const QString kded = QLatin1String(name);
            if (!bus.interface()->isServiceRegistered(kded).value())
                continue;
            bus.send(QDBusMessage::createMethodCall(kded, QStringLiteral("/modules/proxyscout"),
                                                    QStringLiteral("org.kde.KPAC.ProxyScout"),
                                                    QStringLiteral("reset")));
            bus.interface()->isServiceRegistered(kded);
            return;
        }
        qDebug("KDE proxy settings: kded is not running, so no proxy scout fetches a new PAC file");
    }

private:
    QString filePath() const
    {
        return m_path.isEmpty()
                   ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QLatin1String("/kioslaverc")
                   : m_path;
    }

    std::unique_ptr<KConfig> open() const
    {
        if (m_path.isEmpty())
            return std::make_unique<KConfig>(QStringLiteral("kioslaverc"), KConfig::NoGlobals);
        return std::make_unique<KConfig>(m_path, KConfig::SimpleConfig);
    }

    QString m_path;
};

} // namespace

bool kdeToInternet(const KdeProxyState &state, ProxyOptions *options)
{
    ProxyOptions view;
    int type = kNoProxy;
    ProxyHosts hosts;
    if (!parseProxyType(state.proxyType, &type))
        return false;
    for (int p = 0; p < kProtocolCount; ++p) {
        if (!state.proxies[p].isEmpty() && !parseKdeProxy(state.proxies[p], &hosts[p]))
            return false;
    }
    if (type == kManualProxy)
        view.flags |= PROXY_TYPE_PROXY;
    // A PAC type without a script is told apart from WPAD by the URL flag, so
    // that it comes back as it was.
    else if (type == kPacProxy)
        view.flags |= PROXY_TYPE_AUTO_PROXY_URL |
                      (state.configScript.isEmpty() ? DWORD(PROXY_TYPE_AUTO_DETECT) : 0u);
    else if (type == kWpadProxy)
        view.flags |= PROXY_TYPE_AUTO_DETECT;
    view.proxyServer = formatProxyServer(hosts);
    if (!state.noProxyFor.isEmpty())
        view.proxyBypass = QString(state.noProxyFor).replace(QLatin1Char(','), QLatin1Char(';'));
    if (!state.configScript.isEmpty())
        view.autoConfigUrl = state.configScript;
    *options = view;
    return true;
}

bool internetToKde(const ProxyOptions &options, KdeProxyState *state)
{
    ProxyOptions current;
    if (!kdeToInternet(*state, &current))
        return false;
    KdeProxyState target = *state;
    const int type = options.flags & PROXY_TYPE_AUTO_PROXY_URL ? kPacProxy
                     : options.flags & PROXY_TYPE_AUTO_DETECT  ? kWpadProxy
                     : options.flags & PROXY_TYPE_PROXY        ? kManualProxy
                                                               : kNoProxy;
    int currentType = kNoProxy;
    parseProxyType(state->proxyType, &currentType);
    if (type != currentType)
        target.proxyType = type == kNoProxy ? QString() : QString::number(type);
    target.configScript = options.autoConfigUrl;
    if (options.proxyServer != current.proxyServer) {
        ProxyHosts hosts;
        if (!parseProxyServer(options.proxyServer, &hosts))
            return false;
        for (int p = 0; p < kProtocolCount; ++p) {
            ProxyHost now;
            if (!state->proxies[p].isEmpty())
                parseKdeProxy(state->proxies[p], &now);
            if (!(now == hosts[p]))
                target.proxies[p] = kdeProxy(ProxyProtocol(p), hosts[p]);
        }
    }
    if (options.proxyBypass != current.proxyBypass)
        target.noProxyFor =
            desktopBypassList(options.proxyBypass).replace(QLatin1Char(';'), QLatin1Char(','));
    *state = target;
    return true;
}

QJsonObject kdeToJson(const KdeProxyState &state)
{
    QJsonObject json{{QLatin1String(kProxyTypeKey), state.proxyType},
                     {QLatin1String(kScriptKey), state.configScript},
                     {QLatin1String(kNoProxyKey), state.noProxyFor},
                     {QLatin1String(kReversedKey), state.reversedException}};
    for (int p = 0; p < kProtocolCount; ++p)
        json.insert(QLatin1String(kProxyKeys[p]), state.proxies[p]);
    return json;
}

bool jsonToKde(const QJsonObject &json, KdeProxyState *state)
{
    KdeProxyState read;
    QString *const fields[] = {&read.proxyType,         &read.configScript,   &read.noProxyFor,
                               &read.reversedException, &read.proxies[kHttp], &read.proxies[kHttps],
                               &read.proxies[kFtp],     &read.proxies[kSocks]};
    const char *const keys[] = {kProxyTypeKey, kScriptKey,    kNoProxyKey,   kReversedKey,
                                kProxyKeys[0], kProxyKeys[1], kProxyKeys[2], kProxyKeys[3]};
    bool ok = json.size() == int(std::size(keys));
    for (size_t i = 0; i < std::size(keys); ++i) {
        const QJsonValue value = json.value(QLatin1String(keys[i]));
        ok = ok && value.isString();
        *fields[i] = value.toString();
    }
    if (ok)
        *state = read;
    return ok;
}

} // namespace platform

// What the program finds when it loads this module; an empty path means the
// user's own kioslaverc.
extern "C" Q_DECL_EXPORT platform::ProxyStore *greenlarkKdeStore(const QString &kioslavercPath)
{
    return new platform::DesktopProxyStore<platform::KdeStore>(kioslavercPath);
}

#endif // Q_OS_WIN
