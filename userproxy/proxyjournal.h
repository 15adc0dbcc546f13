// The user's own proxy settings on disk, one entry per store greenlark
// changed. greenlark changes the system proxy while it runs and gives the
// user's settings back when it ends; if it ends without doing so (a crash, a
// kill, a power cut), this journal is what the next start gives back.
#pragma once

#include "platform/proxystore.h"

#include <QMap>
#include <QString>

namespace proxyjournal {

// By the store's name. A journal of the first version, which kept one state
// without saying whose, has it under the empty name.
using Entries = QMap<QString, platform::StoredProxy>;

// A per-user file in the application's data location; beside the stand-in's
// options file (or at $GREENLARK_PROXY_JOURNAL) when the stand-in store is
// named, so a private store always comes with a private journal.
QString path();

// A missing journal has no entries. False when something else is in its place
// or it is no journal; then `why` says what is wrong.
bool read(const QString &path, Entries *entries, QString *why);

// Replaces the journal with these entries, atomically and readable by the user
// only; no entries remove it. What is written can be read back: both ways have
// the same bound. A symbolic link in its place is replaced, never followed.
bool write(const QString &path, const Entries &entries, QString *why);

// Renames a journal that cannot be read, so that nothing overwrites what may
// still be recovered from it by hand; the new name, or nothing if it stayed.
QString keepAside(const QString &path);

} // namespace proxyjournal
