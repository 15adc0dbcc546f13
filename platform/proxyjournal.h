// The user's own proxy options on disk. greenlark changes the system proxy
// while it runs and gives the user's options back when it ends; if it ends
// without doing so (a crash, a kill, a power cut), this journal is what the next
// start gives back.
#pragma once

#include "platform/win32.h"

#include <QString>
#include <optional>

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

namespace proxyjournal {

// A per-user file in the application's data location; beside the stand-in's
// options file (or at $GREENLARK_PROXY_JOURNAL) when the stand-in store is
// named, so a private store always comes with a private journal.
QString path();

// Nothing when the file is missing or is no journal; then `why` says what is
// wrong with it (empty for a missing file).
std::optional<ProxyOptions> read(const QString &path, QString *why);

// Atomic, readable by the user only; a symbolic link in the journal's place
// is replaced, never followed.
bool write(const QString &path, const ProxyOptions &options, QString *why);

// True when no journal is left.
bool remove(const QString &path, QString *why);

} // namespace proxyjournal
