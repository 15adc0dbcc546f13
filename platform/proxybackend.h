// Where the WinINet per-connection options live on Linux: the stand-in file, or the
// desktop's own proxy settings. One small interface, one implementation per place,
// and the choice among them made once per process from the environment.
#pragma once

#include "platform/win32.h"

#ifndef Q_OS_WIN

#include <QString>
#include <memory>

namespace platform {

// The five options of the default connection in the WinINet view.
struct InternetOptions
{
    static constexpr unsigned kAll = 0x3E; // one bit per option id, 1 to 5

    DWORD flags = PROXY_TYPE_DIRECT;
    QString proxyServer; // null: none
    QString proxyBypass;
    QString autoConfigUrl;
    DWORD autoDiscoveryFlags = 1;
    // Which options a write carries; a caller may set a few of the five.
    unsigned present = kAll;

    void assignPresent(const InternetOptions &from);
    bool sameValues(const InternetOptions &other) const;
};

class ProxyBackend
{
public:
    ProxyBackend() = default;
    virtual ~ProxyBackend() = default;
    virtual bool read(InternetOptions *options) = 0;
    // Stores the options `options.present` names; false leaves everything as it was.
    virtual bool write(const InternetOptions &options) = 0;
    // INTERNET_OPTION_SETTINGS_CHANGED or INTERNET_OPTION_REFRESH.
    virtual bool notify(DWORD option) = 0;

private:
    Q_DISABLE_COPY(ProxyBackend)
};

enum class ProxyBackendKind
{
    File,
    Gnome,
    Kde,
    KdeAndGnome,
};

struct ProxyEnvironment
{
    QString internetSettings; // GREENLARK_INTERNET_SETTINGS
    QString backend;          // GREENLARK_PROXY_BACKEND
    QString currentDesktop;   // XDG_CURRENT_DESKTOP
    bool gnomeSchemaInstalled = false;
};

// The backend for this environment; an unknown GREENLARK_PROXY_BACKEND gives the
// file and says why in *error.
ProxyBackendKind chooseProxyBackend(const ProxyEnvironment &environment, QString *error);

// The backend of this process, chosen on first use.
ProxyBackend &proxyBackend();
// Tests pick a backend per case; null goes back to the one the environment chooses.
void setProxyBackend(std::unique_ptr<ProxyBackend> backend);

bool gnomeSchemaInstalled();
// An empty schema folder or kioslaverc path means the user's own.
std::unique_ptr<ProxyBackend> makeFileProxyBackend();
std::unique_ptr<ProxyBackend> makeGnomeProxyBackend(const QString &schemaFolder = QString());
std::unique_ptr<ProxyBackend> makeKdeProxyBackend(const QString &kioslavercPath = QString());
std::unique_ptr<ProxyBackend> makeKdeAndGnomeProxyBackend(const QString &kioslavercPath = QString(),
                                                          const QString &schemaFolder = QString());

} // namespace platform

#endif // Q_OS_WIN
