// Points the user's system proxy at the local service and gives the user's own
// options back at exit.
#include "cmainwindow.h"

#include <QDateTime>
#include <QDebug>
#include <QRegularExpression>
#include <cwchar>
#include <string>

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
constexpr int kStringCapacity = 1024;

// The loopback and private ranges never go through the proxy: 10/8,
// 172.16/12 (172.16 to 172.31, no further) and 192.168/16.
const wchar_t kBypassList[] =
    L"<local>;localhost;127.*;10.*;172.16.*;172.17.*;172.18.*;172.19.*;172.20.*;172.21.*;"
    L"172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;172.29.*;172.30.*;"
    L"172.31.*;192.168.*";

void notifySettingsChanged()
{
    InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
}

void freeString(INTERNET_PER_CONN_OPTIONW &entry)
{
    GlobalFree(entry.Value.pszValue);
    entry.Value.pszValue = nullptr;
}

// One per-connection option list of the default connection with its five
// entries and the byte size exchanged with the query and the write.
struct ProxyOptionList
{
    ProxyOptionList() = default;
    ProxyOptionList(const ProxyOptionList &) = delete;
    ProxyOptionList &operator=(const ProxyOptionList &) = delete;

    INTERNET_PER_CONN_OPTION_LISTW list;
    INTERNET_PER_CONN_OPTIONW options[kEntryCount];
    DWORD size;

    void layOut();
    bool query();
    bool write();
    void releaseStrings();
};

QString textOf(const INTERNET_PER_CONN_OPTIONW &entry)
{
    if (!entry.Value.pszValue)
        return QString();
    const QString text = QString::fromWCharArray(entry.Value.pszValue);
    return text.isNull() ? QStringLiteral("") : text;
}

ProxyOptions valuesOf(const ProxyOptionList &queried)
{
    ProxyOptions values;
    values.flags = queried.options[kFlags].Value.dwValue;
    values.proxyServer = textOf(queried.options[kProxyServer]);
    values.proxyBypass = textOf(queried.options[kProxyBypass]);
    values.autoConfigUrl = textOf(queried.options[kAutoConfigUrl]);
    values.autoDiscoveryFlags = queried.options[kAutoDiscovery].Value.dwValue;
    return values;
}

bool writeValues(const ProxyOptions &values)
{
    const std::wstring server = values.proxyServer.toStdWString();
    const std::wstring bypass = values.proxyBypass.toStdWString();
    const std::wstring url = values.autoConfigUrl.toStdWString();
    const auto text = [](const QString &value, const std::wstring &wide) {
        return value.isNull() ? nullptr : const_cast<LPWSTR>(wide.c_str());
    };
    ProxyOptionList list;
    list.layOut();
    list.options[kFlags].Value.dwValue = values.flags;
    list.options[kProxyServer].Value.pszValue = text(values.proxyServer, server);
    list.options[kProxyBypass].Value.pszValue = text(values.proxyBypass, bypass);
    list.options[kAutoConfigUrl].Value.pszValue = text(values.autoConfigUrl, url);
    list.options[kAutoDiscovery].Value.dwValue = values.autoDiscoveryFlags;
    return list.write();
}

// What greenlark itself writes: the global proxy on the loopback with its own
// bypass list (as the store gives it back: the Linux desktops keep it in their
// own form), or its own PAC address. Found at start, they are a run's that did
// not end in order, never the user's.
bool isOwnProxy(const ProxyOptions &values)
{
    static const QString ownBypass =
        platform::desktopBypassList(QString::fromWCharArray(kBypassList));
    static const QRegularExpression ownServer(QStringLiteral("^127\\.0\\.0\\.1:\\d{1,5}$"));
    static const QRegularExpression ownPacUrl(
        QStringLiteral("^http://127\\.0\\.0\\.1:\\d{1,5}/pac/\\?t=\\d{14}$"));
    if ((values.flags & PROXY_TYPE_PROXY) && ownServer.match(values.proxyServer).hasMatch() &&
        !values.proxyBypass.isNull() &&
        platform::desktopBypassList(values.proxyBypass) == ownBypass)
        return true;
    return (values.flags & PROXY_TYPE_AUTO_PROXY_URL) &&
           ownPacUrl.match(values.autoConfigUrl).hasMatch();
}

} // namespace

void ProxyOptionList::layOut()
{
    options[kFlags].dwOption = INTERNET_PER_CONN_FLAGS;
    options[kFlags].Value.dwValue = PROXY_TYPE_DIRECT;
    options[kProxyServer].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    options[kProxyServer].Value.pszValue = nullptr;
    options[kProxyBypass].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    options[kProxyBypass].Value.pszValue = nullptr;
    options[kAutoConfigUrl].dwOption = INTERNET_PER_CONN_AUTOCONFIG_URL;
    options[kAutoConfigUrl].Value.pszValue = nullptr;
    options[kAutoDiscovery].dwOption = INTERNET_PER_CONN_AUTODISCOVERY_FLAGS;
    options[kAutoDiscovery].Value.dwValue = kInitialDiscoveryFlags;

    list.dwSize = sizeof list;
    list.pszConnection = nullptr; // the default connection
    list.dwOptionCount = kEntryCount;
    list.dwOptionError = 0;
    list.pOptions = options;
    size = sizeof list;
}

bool ProxyOptionList::query()
{
    return InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size) !=
           FALSE;
}

bool ProxyOptionList::write()
{
    return InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, size) != FALSE;
}

void ProxyOptionList::releaseStrings()
{
    freeString(options[kProxyServer]);
    freeString(options[kProxyBypass]);
    freeString(options[kAutoConfigUrl]);
}

QString CMainWindow::buildPacUrl(int port)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    return QStringLiteral("http://127.0.0.1:%1/pac/?t=%2").arg(port + 1).arg(stamp);
}

bool CMainWindow::setSystemProxy(int mode, int port, QString pacUrl)
{
    ProxyOptionList current;
    current.layOut();
    if (!current.query()) {
        qDebug() << "setSystemProxy: the system proxy cannot be read; it stays as it was";
        return false;
    }

    // Entries this routine fills from its own buffers; the rest stay as queried
    // and are released once written back.
    wchar_t buffer[kStringCapacity];
    INTERNET_PER_CONN_OPTIONW *ownFirst = nullptr;
    INTERNET_PER_CONN_OPTIONW *ownSecond = nullptr;

    if (mode == kPacMode) {
        current.options[kFlags].Value.dwValue = PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL;
        freeString(current.options[kAutoConfigUrl]);
        const int length = pacUrl.left(kStringCapacity - 1).toWCharArray(buffer);
        buffer[length] = L'\0';
        current.options[kAutoConfigUrl].Value.pszValue = buffer;
        ownFirst = &current.options[kAutoConfigUrl];
    } else {
        current.options[kFlags].Value.dwValue = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
        freeString(current.options[kProxyServer]);
        std::swprintf(buffer, kStringCapacity, L"127.0.0.1:%d", port);
        current.options[kProxyServer].Value.pszValue = buffer;
        ownFirst = &current.options[kProxyServer];
        freeString(current.options[kProxyBypass]);
        current.options[kProxyBypass].Value.pszValue = const_cast<LPWSTR>(kBypassList);
        ownSecond = &current.options[kProxyBypass];
    }

    const bool written = current.write();
    if (written)
        notifySettingsChanged();
    else
        qDebug() << "setSystemProxy: the system proxy cannot be written; it stays as it was";

    ownFirst->Value.pszValue = nullptr;
    if (ownSecond)
        ownSecond->Value.pszValue = nullptr;
    current.releaseStrings();
    return written;
}

void CMainWindow::saveSystemProxy()
{
    ProxyOptionList queried;
    queried.layOut();
    const bool known = queried.query();
    const ProxyOptions found = valuesOf(queried);
    queried.releaseStrings();
    // Nothing of the user's is known; writing anything back at exit would wipe
    // the user's settings instead of restoring them.
    if (!known) {
        qDebug() << "The system proxy cannot be read; nothing will be written back at exit";
        m_strProxyProblem = QStringLiteral("无法读取系统代理设置");
        return;
    }

    const QString journal = proxyjournal::path();
    QString why;
    if (!isOwnProxy(found)) {
        m_savedProxyOptions = found;
    } else {
        std::optional<ProxyOptions> journaled = proxyjournal::read(journal, &why);
        if (journaled && isOwnProxy(*journaled)) {
            journaled.reset();
            why = QStringLiteral("it holds greenlark's own options");
        }
        if (journaled) {
            qDebug().noquote() << "The system proxy is greenlark's own, left by a run that did "
                                  "not end; the user's own options come from"
                               << journal;
            m_savedProxyOptions = *journaled;
            m_bProxySaved = true;
            return;
        }
        qDebug().noquote() << QStringLiteral(
                                  "The system proxy is greenlark's own and the journal %1 is "
                                  "not there to say the user's (%2); the user's own are taken "
                                  "as a direct connection")
                                  .arg(journal, why.isEmpty() ? QStringLiteral("missing") : why);
        m_savedProxyOptions = ProxyOptions();
        m_savedProxyOptions.flags = PROXY_TYPE_DIRECT;
        m_savedProxyOptions.autoDiscoveryFlags = found.autoDiscoveryFlags;
    }
    m_bProxySaved = true;
    // On disk before greenlark changes anything, so that no way of ending can
    // lose the user's options.
    if (!proxyjournal::write(journal, m_savedProxyOptions, &why))
        qDebug().noquote()
            << QStringLiteral("The journal %1 cannot be written (%2)").arg(journal, why);
}

void CMainWindow::restoreSystemProxy()
{
    if (!m_bProxySaved || m_bProxyRestored)
        return;
    const QString journal = proxyjournal::path();
    if (!writeValues(m_savedProxyOptions)) {
        qDebug().noquote() << "The user's proxy options cannot be written back; the next start "
                              "gives them back from"
                           << journal;
        return;
    }
    m_bProxyRestored = true;
    // Programs that keep the options would otherwise go on sending their
    // traffic to a proxy that is about to end.
    notifySettingsChanged();
    QString why;
    if (!proxyjournal::remove(journal, &why))
        qDebug().noquote()
            << QStringLiteral("The journal %1 cannot be removed (%2)").arg(journal, why);
}
