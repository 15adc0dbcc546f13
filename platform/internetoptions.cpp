// WinINet's per-connection options of the default connection, on Linux: the calls
// keep WinINet's contract (arguments, allocation, failure) over the stand-in file.

#include "platform/standinfile.h"

#ifndef Q_OS_WIN

namespace {

// INTERNET_PER_CONN_FLAGS_UI is only ever queried: it is set through
// INTERNET_PER_CONN_FLAGS.
bool isKnownOption(DWORD id, bool query)
{
    return (id >= INTERNET_PER_CONN_FLAGS && id <= INTERNET_PER_CONN_AUTODISCOVERY_FLAGS) ||
           (query && id == INTERNET_PER_CONN_FLAGS_UI);
}

// Checks the list before anything is read through it; the length is checked
// first so that a shorter buffer is never read past its end.
INTERNET_PER_CONN_OPTION_LISTW *perConnectionList(LPVOID buffer, DWORD length, bool query)
{
    auto *list = static_cast<INTERNET_PER_CONN_OPTION_LISTW *>(buffer);
    if (list == nullptr || length != sizeof(INTERNET_PER_CONN_OPTION_LISTW) ||
        list->dwSize != sizeof(INTERNET_PER_CONN_OPTION_LISTW) || list->dwOptionCount == 0 ||
        list->pOptions == nullptr)
        return nullptr;
    // Only the default connection is kept; a named connection (a dial-up or VPN
    // entry on Windows) must not read or overwrite it.
    if (list->pszConnection != nullptr)
        return nullptr;
    for (DWORD i = 0; i < list->dwOptionCount; ++i) {
        if (!isKnownOption(list->pOptions[i].dwOption, query)) {
            list->dwOptionError = i;
            return nullptr;
        }
    }
    return list;
}

LPWSTR newWideString(const QString &text)
{
    if (text.isNull())
        return nullptr;
    // A QString never needs more wchar_t units than UTF-16 code units.
    auto *buffer = new WCHAR[static_cast<size_t>(text.size()) + 1];
    const int written = text.toWCharArray(buffer);
    buffer[written] = L'\0';
    return buffer;
}

QString fromWideString(LPCWSTR text)
{
    return text == nullptr ? QString() : QString::fromWCharArray(text);
}

BOOL queryPerConnectionOptions(INTERNET_PER_CONN_OPTION_LISTW *list)
{
    ProxyOptions options;
    bool knowsFlagsUi = true;
    // Nothing is allocated before the read succeeds, so a FALSE leaks nothing and
    // leaves the caller's values as they were.
    if (!platform::standin::read(&options, &knowsFlagsUi))
        return FALSE;
    for (DWORD i = 0; i < list->dwOptionCount; ++i) {
        if (list->pOptions[i].dwOption == INTERNET_PER_CONN_FLAGS_UI && !knowsFlagsUi) {
            list->dwOptionError = i;
            return FALSE;
        }
    }
    for (DWORD i = 0; i < list->dwOptionCount; ++i) {
        auto &value = list->pOptions[i].Value;
        switch (list->pOptions[i].dwOption) {
        case INTERNET_PER_CONN_FLAGS_UI:
            value.dwValue = options.flags;
            break;
        case INTERNET_PER_CONN_FLAGS:
            // As Windows 7 and later on a network where they found no WPAD
            // server: the user's choice shows only through FLAGS_UI.
            value.dwValue =
                knowsFlagsUi ? options.flags & ~DWORD(PROXY_TYPE_AUTO_DETECT) : options.flags;
            break;
        case INTERNET_PER_CONN_PROXY_SERVER:
            value.pszValue = newWideString(options.proxyServer);
            break;
        case INTERNET_PER_CONN_PROXY_BYPASS:
            value.pszValue = newWideString(options.proxyBypass);
            break;
        case INTERNET_PER_CONN_AUTOCONFIG_URL:
            value.pszValue = newWideString(options.autoConfigUrl);
            break;
        default:
            value.dwValue = options.autoDiscoveryFlags;
            break;
        }
    }
    return TRUE;
}

BOOL storePerConnectionOptions(const INTERNET_PER_CONN_OPTION_LISTW *list)
{
    ProxyOptions options;
    unsigned present = 0;
    for (DWORD i = 0; i < list->dwOptionCount; ++i) {
        const DWORD id = list->pOptions[i].dwOption;
        const auto &value = list->pOptions[i].Value;
        present |= 1u << id;
        switch (id) {
        case INTERNET_PER_CONN_FLAGS:
            options.flags = value.dwValue;
            break;
        case INTERNET_PER_CONN_PROXY_SERVER:
            options.proxyServer = fromWideString(value.pszValue);
            break;
        case INTERNET_PER_CONN_PROXY_BYPASS:
            options.proxyBypass = fromWideString(value.pszValue);
            break;
        case INTERNET_PER_CONN_AUTOCONFIG_URL:
            options.autoConfigUrl = fromWideString(value.pszValue);
            break;
        default:
            options.autoDiscoveryFlags = value.dwValue;
            break;
        }
    }
    return platform::standin::write(options, present) ? TRUE : FALSE;
}

} // namespace

// The stand-in issues no handles, so any handle but the process-wide null one is
// invalid, as a stray handle is on Windows.

BOOL InternetQueryOptionW(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                          LPDWORD lpdwBufferLength)
{
    if (hInternet != nullptr || dwOption != INTERNET_OPTION_PER_CONNECTION_OPTION ||
        lpdwBufferLength == nullptr)
        return FALSE;
    INTERNET_PER_CONN_OPTION_LISTW *list = perConnectionList(lpBuffer, *lpdwBufferLength, true);
    return list != nullptr ? queryPerConnectionOptions(list) : FALSE;
}

BOOL InternetSetOptionW(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength)
{
    if (hInternet != nullptr)
        return FALSE;
    switch (dwOption) {
    case INTERNET_OPTION_PER_CONNECTION_OPTION: {
        const INTERNET_PER_CONN_OPTION_LISTW *list =
            perConnectionList(lpBuffer, dwBufferLength, false);
        return list != nullptr ? storePerConnectionOptions(list) : FALSE;
    }
    case INTERNET_OPTION_SETTINGS_CHANGED:
    case INTERNET_OPTION_REFRESH:
        return platform::standin::notify(dwOption) ? TRUE : FALSE;
    default:
        return FALSE;
    }
}

HGLOBAL GlobalFree(HGLOBAL hMem)
{
    // Only the query allocates, and only wide strings.
    delete[] static_cast<WCHAR *>(hMem);
    return nullptr;
}

#endif // Q_OS_WIN
