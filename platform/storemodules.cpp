// The desktops' stores come from modules of their own, loaded only where that
// desktop's settings are chosen: GIO, KConfig, the session bus library and what
// they pull in cost every start that loads them, also on desktops that use
// neither.

#include "platform/proxystore.h"

#ifndef Q_OS_WIN

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLibrary>

namespace platform {

namespace {

// Beside the program in the build tree, in the lib folder once installed; the
// variable names the one folder to look in instead (the tests' build tree).
QStringList moduleFolders()
{
    const QString chosen = qEnvironmentVariable("GREENLARK_MODULE_DIR");
    if (!chosen.isEmpty())
        return {chosen};
    const QString program = QCoreApplication::applicationDirPath();
    return {program, QDir::cleanPath(program + QStringLiteral("/" GREENLARK_MODULE_PATH))};
}

// Not cached: a module loaded once stays loaded, and a second load of it costs
// a lookup.
QFunctionPointer resolve(const char *module, const char *symbol)
{
    QStringList errors;
    for (const QString &folder : moduleFolders()) {
        QLibrary library(folder + QLatin1Char('/') + QLatin1String(module) + QStringLiteral(".so"));
        if (const QFunctionPointer function = library.resolve(symbol))
            return function;
        errors << library.errorString();
    }
    qDebug("System proxy options: cannot load the module %s (%s)", module,
           qUtf8Printable(errors.join(QStringLiteral("; "))));
    return nullptr;
}

using StoreFactory = ProxyStore *(*)(const QString &where);

} // namespace

std::unique_ptr<ProxyStore> loadDesktopStore(ProxyStoreKind desktop, const QString &where)
{
    const bool kde = desktop == ProxyStoreKind::Kde;
    const auto factory =
        reinterpret_cast<StoreFactory>(kde ? resolve("greenlark-kde", "greenlarkKdeStore")
                                           : resolve("greenlark-gnome", "greenlarkGnomeStore"));
    return std::unique_ptr<ProxyStore>(factory != nullptr ? factory(where) : nullptr);
}

bool gnomeSchemaInstalled()
{
    const auto installed =
        reinterpret_cast<bool (*)()>(resolve("greenlark-gnome", "greenlarkGnomeSchemaInstalled"));
    return installed != nullptr && installed();
}

} // namespace platform

#endif // Q_OS_WIN
