// The one seam between greenlark and the operating system. On Windows it is the
// real WinINet and kernel API; elsewhere the same names are declared here and
// served by stand-ins that keep their contract, so the code above this layer is
// written once against the Windows names.
#pragma once

#include <QString>
#include <functional>
#include <optional>

#ifdef Q_OS_WIN

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wininet.h>

#else

#include <cstdint>

typedef std::uint32_t DWORD;
typedef int BOOL;
typedef wchar_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef void *LPVOID;
typedef DWORD *LPDWORD;
typedef void *HINTERNET;
typedef void *HGLOBAL;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct FILETIME
{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct INTERNET_PER_CONN_OPTIONW
{
    DWORD dwOption;
    union {
        DWORD dwValue;
        LPWSTR pszValue;
        FILETIME ftValue;
    } Value;
};

struct INTERNET_PER_CONN_OPTION_LISTW
{
    DWORD dwSize;
    LPWSTR pszConnection;
    DWORD dwOptionCount;
    DWORD dwOptionError;
    INTERNET_PER_CONN_OPTIONW *pOptions;
};

enum : DWORD
{
    INTERNET_OPTION_REFRESH = 37,
    INTERNET_OPTION_SETTINGS_CHANGED = 39,
    INTERNET_OPTION_PER_CONNECTION_OPTION = 75,

    INTERNET_PER_CONN_FLAGS = 1,
    INTERNET_PER_CONN_PROXY_SERVER = 2,
    INTERNET_PER_CONN_PROXY_BYPASS = 3,
    INTERNET_PER_CONN_AUTOCONFIG_URL = 4,
    INTERNET_PER_CONN_AUTODISCOVERY_FLAGS = 5,
    INTERNET_PER_CONN_FLAGS_UI = 10,

    PROXY_TYPE_DIRECT = 1,
    PROXY_TYPE_PROXY = 2,
    PROXY_TYPE_AUTO_PROXY_URL = 4,
    PROXY_TYPE_AUTO_DETECT = 8,
};

BOOL InternetQueryOptionW(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                          LPDWORD lpdwBufferLength);
BOOL InternetSetOptionW(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength);
HGLOBAL GlobalFree(HGLOBAL hMem);
DWORD GetTickCount();

#endif // Q_OS_WIN

static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits, as on Windows");
// The main window lays out the list with a structure size of 32, the size the
// 64-bit Windows API expects; the stand-in checks dwSize against the same.
static_assert(sizeof(void *) != 8 || sizeof(INTERNET_PER_CONN_OPTIONW) == 16,
              "per-connection option entry laid out as on 64-bit Windows");
static_assert(sizeof(void *) != 8 || sizeof(INTERNET_PER_CONN_OPTION_LISTW) == 32,
              "per-connection option list laid out as on 64-bit Windows");

namespace platform {

// Ends every other process of this user's login session with this image name,
// as "taskkill /im NAME /f" with a user and a session filter does; never this
// process. Copies of this program (its own image name) are asked first, as a
// user would end them (SIGTERM; on Windows the close message of their
// windows), so that they give back what they hold, and forced only if they
// have not ended within a few seconds. Runs to completion.
void endProcessesByImageName(const QString &imageName);

// A process as the ending of processes tells it from others; a process whose
// executable cannot be read has none, and one whose user cannot be read is
// nobody's.
struct ProcessFacts
{
    QString user;                  // the real user id on Linux, the token's user SID on Windows
    std::optional<qint64> session; // none where the kernel keeps no login sessions
    QString executable;            // the file name alone, without ".exe" on Windows
};
// Whether `process` ends with `own`'s call for this image name.
bool endsWithThis(const ProcessFacts &process, const ProcessFacts &own, const QString &imageName);

// Tests replace the ending of processes with a recorder so they never end
// anything real. Returns the handler that was in force; an empty handler puts
// the platform's own back.
using ProcessEnder = std::function<void(const QString &imageName)>;
ProcessEnder setProcessEnder(ProcessEnder ender);

// The bypass list a query gives back on the Linux desktops after this one was
// written: "<local>" left out, IPv4 prefixes such as "10.*" as CIDR ("10.0.0.0/8"),
// every other entry as it was, joined with ';'. Applied to its own result it
// changes nothing.
QString desktopBypassList(const QString &wininetBypass);

#ifndef Q_OS_WIN
// Holds the stand-in tick counter still for tests of the one-second pacing and
// the wrap-around: a fixed value, while set, is returned as it is.
void setFixedTickCount(std::optional<DWORD> value);
#endif

} // namespace platform
