// Where the system proxy options live: the user's Internet Options on Windows;
// on Linux the stand-in file, GNOME's settings or KDE's. One small interface,
// one implementation per place, and the choice among them made in one function
// from the environment.
#pragma once

#include "platform/win32.h"

#include <QJsonObject>
#include <QString>
#include <memory>
#include <vector>

// The five per-connection options of the default connection as plain values.
struct ProxyOptions
{
    DWORD flags = PROXY_TYPE_DIRECT;
    QString proxyServer; // null: the option holds no string, unlike an empty one
    QString proxyBypass;
    QString autoConfigUrl;
    DWORD autoDiscoveryFlags = 0;

    bool operator==(const ProxyOptions &other) const;
    bool operator!=(const ProxyOptions &other) const { return !(*this == other); }
};

namespace platform {

// A store's state as it was read: its five options and, where they cannot
// carry all of it (a desktop's own keys), the keys themselves, so that the
// state can be given back exactly.
struct StoredProxy
{
    ProxyOptions options;
    QJsonObject exact; // empty: the five options are the whole state

    bool operator==(const StoredProxy &other) const
    {
        return options == other.options && exact == other.exact;
    }
};

class ProxyStore
{
public:
    ProxyStore() = default;
    virtual ~ProxyStore() = default;

    // What the journal calls it: "Internet Options", "file:<path>", "gnome", "kde".
    virtual QString name() const = 0;
    virtual bool read(StoredProxy *state) = 0;
    // greenlark's options, with whatever of the desktop's own would turn them
    // against the user (credentials offered to greenlark's proxy, a bypass
    // list read as the only hosts to proxy) switched off.
    virtual bool write(const ProxyOptions &options) = 0;
    // A state read before, as it was.
    virtual bool restore(const StoredProxy &state) = 0;
    // Tells running programs that the options changed.
    virtual void notify() = 0;

private:
    Q_DISABLE_COPY(ProxyStore)
};

using ProxyStores = std::vector<std::unique_ptr<ProxyStore>>;

// The stores of this environment; greenlark changes each of them.
ProxyStores makeProxyStores();
// The options of WinINet's default connection: on Linux the stand-in file.
std::unique_ptr<ProxyStore> makeInternetOptionsStore();

// Whether two reads of a store say the same: a null and an empty string are the
// same option to every store, and the desktops keep a bypass list in their own
// form.
bool sameOptions(const ProxyOptions &a, const ProxyOptions &b);

#ifndef Q_OS_WIN

enum class ProxyStoreKind
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

// The stores for this environment; an unknown GREENLARK_PROXY_BACKEND gives the
// file and says why in *error.
ProxyStoreKind chooseProxyStores(const ProxyEnvironment &environment, QString *error);

// GNOME's and KDE's stores are modules of their own (greenlark-gnome.so,
// greenlark-kde.so) beside the program or in lib/greenlark, so that a start
// loads only the libraries of the desktop it uses. A module that cannot be
// loaded is named on the debug output and counts as a desktop whose settings
// are not installed.
bool gnomeSchemaInstalled();
// Gnome or Kde; null where the module cannot be loaded. An empty schema folder
// or kioslaverc path means the user's own.
std::unique_ptr<ProxyStore> loadDesktopStore(ProxyStoreKind desktop, const QString &where);

#endif // Q_OS_WIN

} // namespace platform
