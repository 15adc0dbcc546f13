// The choice of the stores the system proxy options live in, made from the
// environment each time a set of stores is made.

#include "platform/proxystore.h"

#include <QDebug>

bool ProxyOptions::operator==(const ProxyOptions &other) const
{
    // QString's own == takes a null string for an empty one; here they differ.
    const auto same = [](const QString &a, const QString &b) {
        return a.isNull() == b.isNull() && a == b;
    };
    return flags == other.flags && same(proxyServer, other.proxyServer) &&
           same(proxyBypass, other.proxyBypass) && same(autoConfigUrl, other.autoConfigUrl) &&
           autoDiscoveryFlags == other.autoDiscoveryFlags;
}

namespace platform {

bool sameOptions(const ProxyOptions &a, const ProxyOptions &b)
{
    return a.flags == b.flags && a.proxyServer == b.proxyServer &&
           desktopBypassList(a.proxyBypass) == desktopBypassList(b.proxyBypass) &&
           a.autoConfigUrl == b.autoConfigUrl && a.autoDiscoveryFlags == b.autoDiscoveryFlags;
}

#ifdef Q_OS_WIN

ProxyStores makeProxyStores()
{
    ProxyStores stores;
    stores.push_back(makeInternetOptionsStore());
    return stores;
}

#else

namespace {

// Desktops that read GNOME's settings; KDE is told apart before these.
const char *const kGnomeDesktops[] = {"gnome",  "unity",    "x-cinnamon", "mate", "xfce",
                                      "budgie", "pantheon", "deepin",     "dde",  "ukui"};

const char *kindName(ProxyStoreKind kind)
{
    switch (kind) {
    case ProxyStoreKind::Gnome:
        return "GNOME settings (org.gnome.system.proxy)";
    case ProxyStoreKind::Kde:
        return "KDE settings (kioslaverc)";
    case ProxyStoreKind::KdeAndGnome:
        return "KDE settings (kioslaverc) and GNOME settings (org.gnome.system.proxy)";
    case ProxyStoreKind::File:
        break;
    }
    return "the stand-in file";
}

} // namespace

ProxyStoreKind chooseProxyStores(const ProxyEnvironment &environment, QString *error)
{
    if (!environment.internetSettings.isEmpty())
        return ProxyStoreKind::File;
    if (!environment.backend.isEmpty()) {
        const QString name = environment.backend.toLower();
        if (name == QLatin1String("gnome"))
            return ProxyStoreKind::Gnome;
        if (name == QLatin1String("kde"))
            return ProxyStoreKind::Kde;
        if (name != QLatin1String("file"))
            *error = QStringLiteral("GREENLARK_PROXY_BACKEND=%1 is not gnome, kde or file: "
                                    "using the stand-in file")
                         .arg(environment.backend);
        return ProxyStoreKind::File;
    }
    const QStringList desktops =
        environment.currentDesktop.toLower().split(QLatin1Char(':'), Qt::SkipEmptyParts);
    // GTK programs and Firefox read only GNOME's settings, also on KDE.
    if (desktops.contains(QLatin1String("kde")))
        return environment.gnomeSchemaInstalled ? ProxyStoreKind::KdeAndGnome : ProxyStoreKind::Kde;
    for (const char *gnomeLike : kGnomeDesktops) {
        if (desktops.contains(QLatin1String(gnomeLike)))
            return ProxyStoreKind::Gnome;
    }
    return environment.gnomeSchemaInstalled ? ProxyStoreKind::Gnome : ProxyStoreKind::File;
}

ProxyStores makeProxyStores()
{
    ProxyEnvironment environment;
    environment.internetSettings = qEnvironmentVariable("GREENLARK_INTERNET_SETTINGS");
    environment.backend = qEnvironmentVariable("GREENLARK_PROXY_BACKEND");
    environment.currentDesktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    // Only asked for where the answer matters; it loads the schema list.
    environment.gnomeSchemaInstalled = environment.internetSettings.isEmpty() &&
                                       environment.backend.isEmpty() && gnomeSchemaInstalled();
    QString error;
    const ProxyStoreKind kind = chooseProxyStores(environment, &error);
    if (!error.isEmpty())
        qWarning().noquote() << error;
    ProxyStores stores;
    bool kde = false;
    bool gnome = false;
    // A desktop whose module cannot be loaded is left out, as one that is not
    // installed; with none left, the stand-in file.
    for (const ProxyStoreKind desktop : {ProxyStoreKind::Kde, ProxyStoreKind::Gnome}) {
        std::unique_ptr<ProxyStore> store;
        if (kind == desktop || kind == ProxyStoreKind::KdeAndGnome)
            store = loadDesktopStore(desktop, QString());
        if (!store)
            continue;
        stores.push_back(std::move(store));
        (desktop == ProxyStoreKind::Kde ? kde : gnome) = true;
    }
    if (stores.empty())
        stores.push_back(makeInternetOptionsStore());
    qDebug().noquote() << "System proxy options:"
                       << kindName(kde && gnome ? ProxyStoreKind::KdeAndGnome
                                   : kde        ? ProxyStoreKind::Kde
                                   : gnome      ? ProxyStoreKind::Gnome
                                                : ProxyStoreKind::File);
    return stores;
}

#endif // Q_OS_WIN

} // namespace platform
