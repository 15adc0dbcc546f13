// Points the user's system proxy at the local service and gives the user's own
// options back at exit.
#include "cmainwindow.h"

#include <QDateTime>
#include <cwchar>

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
    filled = false;
}

bool ProxyOptionList::query()
{
    filled =
        InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size) != FALSE;
    return filled;
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

void CMainWindow::setSystemProxy(int mode, int port, QString pacUrl)
{
    ProxyOptionList current;
    current.layOut();
    if (!current.query())
        return;

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

    current.write();
    notifySettingsChanged();

    ownFirst->Value.pszValue = nullptr;
    if (ownSecond)
        ownSecond->Value.pszValue = nullptr;
    current.releaseStrings();
}

void CMainWindow::saveSystemProxy()
{
    m_savedProxyOptions.layOut();
    m_savedProxyOptions.query();
}

void CMainWindow::restoreSystemProxy()
{
    // After a failed query at start nothing of the user's is known; writing the
    // initial values would wipe the user's settings instead of restoring them.
    if (m_savedProxyOptions.filled)
        m_savedProxyOptions.write();
    m_savedProxyOptions.releaseStrings();
}
