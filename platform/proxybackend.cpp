// The choice of the place the per-connection options live, made once per process.

#include "platform/proxybackend.h"

#ifndef Q_OS_WIN

#include "platform/desktopproxy.h"

#include <QDebug>

namespace platform {

namespace {

constexpr unsigned bit(DWORD option)
{
    return 1u << option;
}

// Desktops that read GNOME's settings; KDE is told apart before these.
const char *const kGnomeDesktops[] = {"gnome",  "unity",    "x-cinnamon", "mate", "xfce",
                                      "budgie", "pantheon", "deepin",     "dde",  "ukui"};

std::unique_ptr<ProxyBackend> &installed()
{
    static std::unique_ptr<ProxyBackend> backend;
    return backend;
}

const char *kindName(ProxyBackendKind kind)
{
    switch (kind) {
    case ProxyBackendKind::Gnome:
        return "GNOME settings (org.gnome.system.proxy)";
    case ProxyBackendKind::Kde:
        return "KDE settings (kioslaverc)";
    case ProxyBackendKind::KdeAndGnome:
        return "KDE settings (kioslaverc) and GNOME settings (org.gnome.system.proxy)";
    case ProxyBackendKind::File:
        break;
    }
    return "the stand-in file";
}

std::unique_ptr<ProxyBackend> makeBackend(ProxyBackendKind kind)
{
    switch (kind) {
    case ProxyBackendKind::Gnome:
        return makeGnomeProxyBackend();
    case ProxyBackendKind::Kde:
        return makeKdeProxyBackend();
    case ProxyBackendKind::KdeAndGnome:
        return makeKdeAndGnomeProxyBackend();
    case ProxyBackendKind::File:
        break;
    }
    return makeFileProxyBackend();
}

std::unique_ptr<ProxyBackend> backendOfEnvironment()
{
    ProxyEnvironment environment;
    environment.internetSettings = qEnvironmentVariable("GREENLARK_INTERNET_SETTINGS");
    environment.backend = qEnvironmentVariable("GREENLARK_PROXY_BACKEND");
    environment.currentDesktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    // Only asked for where the answer matters; it loads the schema list.
    environment.gnomeSchemaInstalled = environment.internetSettings.isEmpty() &&
                                       environment.backend.isEmpty() && gnomeSchemaInstalled();
    QString error;
    const ProxyBackendKind kind = chooseProxyBackend(environment, &error);
    if (!error.isEmpty())
        qWarning().noquote() << error;
    qDebug().noquote() << "System proxy options:" << kindName(kind);
    return makeBackend(kind);
}

// KDE's settings, with GNOME's following them for the GTK programs and Firefox,
// which read only GNOME's.
class KdeAndGnomeBackend final : public ProxyBackend
{
public:
    KdeAndGnomeBackend(std::unique_ptr<ProxyBackend> kde, std::unique_ptr<DesktopProxy> gnome)
        : m_kde(std::move(kde)), m_gnome(std::move(gnome))
    {
    }

    bool read(InternetOptions *options) override
    {
        if (!m_kde->read(options))
            return false;
        // GNOME's own state goes back when KDE's options of this moment do.
        m_gnome->keepStartState(*options);
        return true;
    }

    bool write(const InternetOptions &options) override
    {
        InternetOptions before;
        if (!read(&before))
            return false;
        InternetOptions all = before;
        all.assignPresent(options);
        if (!m_kde->write(all))
            return false;
        if (m_gnome->write(all))
            return true;
        m_kde->write(before);
        return false;
    }

    bool notify(DWORD option) override
    {
        const bool kde = m_kde->notify(option);
        return m_gnome->notify(option) && kde;
    }

private:
    std::unique_ptr<ProxyBackend> m_kde;
    std::unique_ptr<DesktopProxy> m_gnome;
};

} // namespace

void InternetOptions::assignPresent(const InternetOptions &from)
{
    if (from.present & bit(INTERNET_PER_CONN_FLAGS))
        flags = from.flags;
    if (from.present & bit(INTERNET_PER_CONN_PROXY_SERVER))
        proxyServer = from.proxyServer;
    if (from.present & bit(INTERNET_PER_CONN_PROXY_BYPASS))
        proxyBypass = from.proxyBypass;
    if (from.present & bit(INTERNET_PER_CONN_AUTOCONFIG_URL))
        autoConfigUrl = from.autoConfigUrl;
    if (from.present & bit(INTERNET_PER_CONN_AUTODISCOVERY_FLAGS))
        autoDiscoveryFlags = from.autoDiscoveryFlags;
}

bool InternetOptions::sameValues(const InternetOptions &other) const
{
    // A null and an empty string are the same option to every desktop.
    return flags == other.flags && proxyServer == other.proxyServer &&
           proxyBypass == other.proxyBypass && autoConfigUrl == other.autoConfigUrl &&
           autoDiscoveryFlags == other.autoDiscoveryFlags;
}

ProxyBackendKind chooseProxyBackend(const ProxyEnvironment &environment, QString *error)
{
    if (!environment.internetSettings.isEmpty())
        return ProxyBackendKind::File;
    if (!environment.backend.isEmpty()) {
        const QString name = environment.backend.toLower();
        if (name == QLatin1String("gnome"))
            return ProxyBackendKind::Gnome;
        if (name == QLatin1String("kde"))
            return ProxyBackendKind::Kde;
        if (name != QLatin1String("file"))
            *error = QStringLiteral("GREENLARK_PROXY_BACKEND=%1 is not gnome, kde or file: "
                                    "using the stand-in file")
                         .arg(environment.backend);
        return ProxyBackendKind::File;
    }
    const QStringList desktops =
        environment.currentDesktop.toLower().split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (desktops.contains(QLatin1String("kde")))
        return environment.gnomeSchemaInstalled ? ProxyBackendKind::KdeAndGnome
                                                : ProxyBackendKind::Kde;
    for (const char *gnomeLike : kGnomeDesktops) {
        if (desktops.contains(QLatin1String(gnomeLike)))
            return ProxyBackendKind::Gnome;
    }
    return environment.gnomeSchemaInstalled ? ProxyBackendKind::Gnome : ProxyBackendKind::File;
}

ProxyBackend &proxyBackend()
{
    std::unique_ptr<ProxyBackend> &backend = installed();
    if (!backend)
        backend = backendOfEnvironment();
    return *backend;
}

void setProxyBackend(std::unique_ptr<ProxyBackend> backend)
{
    installed() = std::move(backend);
}

std::unique_ptr<ProxyBackend> makeKdeAndGnomeProxyBackend(const QString &kioslavercPath,
                                                          const QString &schemaFolder)
{
    return std::make_unique<KdeAndGnomeBackend>(makeKdeProxyBackend(kioslavercPath),
                                                makeGnomeDesktopProxy(schemaFolder));
}

} // namespace platform

#endif // Q_OS_WIN
