// The owner of the user's own proxy settings and of greenlark's in their place.
//
// Invariant: while greenlark's options may be in force in a store, the user's
// own options for that store are in the journal on disk. So greenlark writes
// its options into a store only once the user's are journaled and read back,
// and a store's entry leaves the journal only once the store reads back the
// user's options. Every end that runs code (a quit, a signal, a session end,
// the display's death) gives them back from memory; an end that runs none (a
// crash, a kill, a power cut) leaves the journal, which the next start reads.
// greenlark's own options, found in a store, are never taken for the user's.
// A store the user changes while greenlark runs is theirs from then on: its
// new settings are journaled before greenlark writes there again, and the end
// leaves them where they are.
#pragma once

#include "userproxy/proxyjournal.h"

#include <QLockFile>
#include <functional>
#include <optional>

class UserProxySettings
{
public:
    enum class Result
    {
        Done,
        Unreadable,   // a store could not be read: nothing was written to it
        NotJournaled, // the journal could not be written: the store stays as it is
        NotWritten,   // a store did not keep greenlark's options
    };
    enum Mode : int
    {
        kPac = 2,
        kGlobal = 3,
    };

    UserProxySettings(platform::ProxyStores stores, const QString &journalPath);
    // Gives nothing back: a window that goes without its quit is a kill.
    ~UserProxySettings();

    // Reads each store and journals the user's own settings.
    Result save();
    // greenlark's options in every store: its PAC address, or the proxy on the
    // listen port with the local and private ranges bypassed.
    Result apply(int mode, int port, const QString &pacUrl);
    // Gives the user's settings back. Only the end's restore is final; after
    // another (a session end that was cancelled) the next apply saves anew.
    // False when a store kept greenlark's options: the journal stays.
    bool restore(bool end);

    bool inForce() const;
    // The journal gave back settings that a run before could not.
    bool recovered() const { return m_recovered; }
    // A journal that could not be read was kept aside: whatever it held of the
    // user's does not come back by itself.
    bool journalDamaged() const { return m_journalDamaged; }
    const QString &journalPath() const { return m_journal; }
    // Whether this copy holds the journal: the one other copies never end.
    bool ownsJournal() const { return m_lock.isLocked(); }

private:
    Q_DISABLE_COPY(UserProxySettings)

    struct Store
    {
        std::unique_ptr<platform::ProxyStore> store;
        std::optional<platform::StoredProxy> user; // the user's own, once known
        bool journaled = false;
        bool inForce = false; // greenlark's options may be in the store
        // What greenlark last wrote there and read back; none while unknown.
        std::optional<ProxyOptions> written;
    };

    // Whether the store's latest read shows the user's hand since greenlark's
    // last write: neither that write nor anything greenlark writes.
    static bool takenOver(const Store &s, const platform::StoredProxy &now);

    // The journal as it is, changed by `edit`; false leaves it as it was.
    bool updateJournal(const std::function<void(proxyjournal::Entries &)> &edit);

    std::vector<Store> m_stores;
    QString m_journal;
    QLockFile m_lock;
    bool m_recovered = false;
    bool m_journalDamaged = false;
    bool m_ended = false;
};
