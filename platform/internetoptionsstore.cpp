// WinINet's per-connection options of the default connection as a store: the
// user's Internet Options on Windows, the stand-in file elsewhere.

#include "platform/proxystore.h"

#ifndef Q_OS_WIN
#include "platform/standinfile.h"

#include <QFileInfo>
#endif

#include <string>
#include <utility>

namespace platform {

namespace {

enum Entry
{
    kFlags,
    kProxyServer,
    kProxyBypass,
    kAutoConfigUrl,
    kAutoDiscovery,
    kEntryCount
};

constexpr DWORD kInitialDiscoveryFlags = 5;

// One per-connection option list of the default connection with its five
// entries and the byte size exchanged with the query and the write.
struct ProxyOptionList
{
    ProxyOptionList() { layOut(); }
    ProxyOptionList(const ProxyOptionList &) = delete;
    ProxyOptionList &operator=(const ProxyOptionList &) = delete;

    INTERNET_PER_CONN_OPTION_LISTW list;
    INTERNET_PER_CONN_OPTIONW options[kEntryCount];
    DWORD size;

    void layOut()
    {
        const DWORD ids[kEntryCount] = {
            INTERNET_PER_CONN_FLAGS, INTERNET_PER_CONN_PROXY_SERVER, INTERNET_PER_CONN_PROXY_BYPASS,
            INTERNET_PER_CONN_AUTOCONFIG_URL, INTERNET_PER_CONN_AUTODISCOVERY_FLAGS};
        for (int i = 0; i < kEntryCount; ++i) {
            options[i].dwOption = ids[i];
            options[i].Value.pszValue = nullptr;
        }
        options[kFlags].Value.dwValue = PROXY_TYPE_DIRECT;
        options[kAutoDiscovery].Value.dwValue = kInitialDiscoveryFlags;
        list.dwSize = sizeof list;
        list.pszConnection = nullptr; // the default connection
        list.dwOptionCount = kEntryCount;
        list.dwOptionError = 0;
        list.pOptions = options;
        size = sizeof list;
    }
};

// A refused query may still have filled the strings before the option it
// refused (Wine's does): they were null before it, so whatever is there now is
// the query's to release.
bool query(ProxyOptionList &queried)
{
    if (InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &queried.list,
                             &queried.size))
        return true;
    for (const int text : {kProxyServer, kProxyBypass, kAutoConfigUrl})
        GlobalFree(std::exchange(queried.options[text].Value.pszValue, nullptr));
    return false;
}

QString takeText(INTERNET_PER_CONN_OPTIONW &entry)
{
    if (!entry.Value.pszValue)
        return QString();
    QString text = QString::fromWCharArray(entry.Value.pszValue);
    GlobalFree(entry.Value.pszValue);
    entry.Value.pszValue = nullptr;
    return text.isNull() ? QStringLiteral("") : text;
}

class InternetOptionsStore final : public ProxyStore
{
public:
    QString name() const override
    {
#ifdef Q_OS_WIN
        return QStringLiteral("Internet Options");
#else
        return QLatin1String("file:") + QFileInfo(standin::path()).absoluteFilePath();
#endif
    }

    bool read(StoredProxy *state) override
    {
        // Windows 7 and later leave PROXY_TYPE_AUTO_DETECT out of
        // INTERNET_PER_CONN_FLAGS once they found no WPAD server, so the user's
        // "detect settings automatically" would not come back; only older
        // WinINets (and Wine's) refuse the option that tells it.
        ProxyOptionList queried;
        queried.options[kFlags].dwOption = INTERNET_PER_CONN_FLAGS_UI;
        if (!query(queried)) {
            queried.layOut();
            if (!query(queried))
                return false;
        }
        ProxyOptions &values = state->options;
        values.flags = queried.options[kFlags].Value.dwValue;
        values.proxyServer = takeText(queried.options[kProxyServer]);
        values.proxyBypass = takeText(queried.options[kProxyBypass]);
        values.autoConfigUrl = takeText(queried.options[kAutoConfigUrl]);
        values.autoDiscoveryFlags = queried.options[kAutoDiscovery].Value.dwValue;
        state->exact = QJsonObject();
        return true;
    }

    bool write(const ProxyOptions &values) override
    {
        const std::wstring server = values.proxyServer.toStdWString();
        const std::wstring bypass = values.proxyBypass.toStdWString();
        const std::wstring url = values.autoConfigUrl.toStdWString();
        const auto text = [](const QString &value, const std::wstring &wide) {
            return value.isNull() ? nullptr : const_cast<LPWSTR>(wide.c_str());
        };
        ProxyOptionList list;
        list.options[kFlags].Value.dwValue = values.flags;
        list.options[kProxyServer].Value.pszValue = text(values.proxyServer, server);
        list.options[kProxyBypass].Value.pszValue = text(values.proxyBypass, bypass);
        list.options[kAutoConfigUrl].Value.pszValue = text(values.autoConfigUrl, url);
        list.options[kAutoDiscovery].Value.dwValue = values.autoDiscoveryFlags;
        return InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list.list,
                                  list.size) != FALSE;
    }

    bool restore(const StoredProxy &state) override
    {
        return write(state.options);
    }

    void notify() override
    {
        InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
        InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
    }
};

} // namespace

std::unique_ptr<ProxyStore> makeInternetOptionsStore()
{
    return std::make_unique<InternetOptionsStore>();
}

} // namespace platform
