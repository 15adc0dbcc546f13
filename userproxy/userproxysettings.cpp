#include "userproxy/userproxysettings.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <cstdlib>

namespace {

// The loopback and private ranges never go through the proxy: 10/8,
// 172.16/12 (172.16 to 172.31, no further) and 192.168/16.
const QString kBypassList = QStringLiteral(
    "<local>;localhost;127.*;10.*;172.16.*;172.17.*;172.18.*;172.19.*;172.20.*;172.21.*;"
    "172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;172.29.*;172.30.*;"
    "172.31.*;192.168.*");

// What greenlark itself writes: the global proxy on the loopback with its own
// bypass list (in whatever form the store keeps it), or its own PAC address.
// Found at start, they are a run's that did not end, never the user's.
bool isOwnProxy(const ProxyOptions &values)
{
    static const QString ownBypass = platform::desktopBypassList(kBypassList);
    static const QRegularExpression ownServer(QStringLiteral("^127\\.0\\.0\\.1:\\d{1,5}$"));
    static const QRegularExpression ownPacUrl(
        QStringLiteral("^http://127\\.0\\.0\\.1:\\d{1,5}/pac/\\?t=\\d{14}$"));
    if ((values.flags & PROXY_TYPE_PROXY) && ownServer.match(values.proxyServer).hasMatch() &&
        !values.proxyBypass.isNull() &&
        platform::desktopBypassList(values.proxyBypass) == ownBypass)
        return true;
    return (values.flags & PROXY_TYPE_AUTO_PROXY_URL) &&
           ownPacUrl.match(values.autoConfigUrl).hasMatch();
}

// greenlark's options in place of `current`: PAC keeps the proxy server and the
// bypass list as they are; global keeps the PAC address, unused.
ProxyOptions greenlarks(ProxyOptions current, int mode, int port, const QString &pacUrl)
{
    if (mode == UserProxySettings::kPac) {
        current.flags = PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL;
        current.autoConfigUrl = pacUrl;
    } else {
        current.flags = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
        current.proxyServer = QStringLiteral("127.0.0.1:%1").arg(port);
        current.proxyBypass = kBypassList;
    }
    return current;
}

// A write counts only when the store reads back what was written.
bool holds(platform::ProxyStore &store, const platform::StoredProxy &written)
{
    platform::StoredProxy back;
    return store.read(&back) && platform::sameOptions(back.options, written.options) &&
           (written.exact.isEmpty() || back.exact == written.exact);
}

// The owner whose settings go back when the process ends without returning
// from its event loop: the X server gone, a library that calls exit().
UserProxySettings *g_live = nullptr;

void giveBackAtExit()
{
    if (g_live)
        g_live->restore(true);
}

} // namespace

UserProxySettings::UserProxySettings(platform::ProxyStores stores, const QString &journalPath)
    : m_journal(journalPath), m_lock(journalPath + QLatin1String(".lock"))
{
    for (auto &store : stores)
        m_stores.push_back(Store{std::move(store), std::nullopt, false, false, std::nullopt});
    g_live = this;
    // Two copies never share a journal: the one that started first, which
    // normally holds the single-instance guard, keeps it and the other changes
    // nothing. A holder that is gone leaves a stale lock, which is taken over.
    QDir().mkpath(QFileInfo(journalPath).absolutePath());
    if (!journalPath.isEmpty() && !m_lock.tryLock(0)) {
        qint64 holder = 0;
        QString host, application;
        m_lock.getLockInfo(&holder, &host, &application);
        qDebug().noquote() << "The journal" << journalPath << "belongs to another greenlark ("
                           << holder << "): this one leaves the system proxy alone";
    }
}

UserProxySettings::~UserProxySettings()
{
    if (g_live == this)
        g_live = nullptr;
}

UserProxySettings::Result UserProxySettings::save()
{
    if (!m_lock.isLocked())
        return Result::NotJournaled;
    Result result = Result::Done;
    std::optional<proxyjournal::Entries> journal; // read once, when a store needs it
    for (Store &s : m_stores) {
        if (s.user && !s.written)
            continue;
        platform::StoredProxy found;
        if (!s.store->read(&found)) {
            qDebug().noquote() << "The system proxy in" << s.store->name()
                               << "cannot be read; greenlark leaves it as it is";
            result = Result::Unreadable;
            continue;
        }
        if (s.user) {
            if (takenOver(s, found)) {
                qDebug().noquote() << "The system proxy in" << s.store->name()
                                   << "was changed by the user while greenlark ran; the change "
                                      "is the user's own";
                s.user = found;
                s.journaled = false;
                s.inForce = false;
                s.written.reset();
            }
            continue;
        }
        if (!isOwnProxy(found.options)) {
            s.user = found;
            continue;
        }
        s.inForce = true;
        if (!journal) {
            journal.emplace();
            QString why;
            if (!proxyjournal::read(m_journal, &*journal, &why))
                qDebug().noquote()
                    << QStringLiteral("The journal %1 cannot be read (%2)").arg(m_journal, why);
        }
        const QString name = s.store->name();
        const auto entry = journal->contains(name) ? journal->find(name) : journal->find(QString());
        if (entry != journal->end() && !isOwnProxy(entry->options)) {
            qDebug().noquote() << "The system proxy in" << name
                               << "is greenlark's own, left by a run that did not end; the "
                                  "user's own options come from"
                               << m_journal;
            s.user = *entry;
            // An older journal's entry goes back under the store's name.
            s.journaled = !entry.key().isEmpty();
            m_recovered = true;
            continue;
        }
        qDebug().noquote() << "The system proxy in" << name
                           << "is greenlark's own and the journal does not hold the user's; "
                              "the user's own are taken as a direct connection";
        s.user = platform::StoredProxy{
            ProxyOptions{PROXY_TYPE_DIRECT, {}, {}, {}, found.options.autoDiscoveryFlags}, {}};
    }
    const bool journaled = updateJournal([this](proxyjournal::Entries &entries) {
        for (const Store &s : m_stores) {
            if (s.user && !s.journaled)
                entries.insert(s.store->name(), *s.user);
        }
    });
    for (Store &s : m_stores)
        s.journaled = s.journaled || (journaled && s.user);
    if (!journaled && result == Result::Done)
        result = Result::NotJournaled;
    return result;
}

UserProxySettings::Result UserProxySettings::apply(int mode, int port, const QString &pacUrl)
{
    if (m_ended)
        return Result::Done;
    if (!m_lock.isLocked())
        return Result::NotJournaled;
    Result result = save();
    for (Store &s : m_stores) {
        if (!s.user || !s.journaled)
            continue;
        platform::StoredProxy now;
        if (!s.store->read(&now)) {
            result = result == Result::Done ? Result::Unreadable : result;
            continue;
        }
        const platform::StoredProxy target{greenlarks(now.options, mode, port, pacUrl), {}};
        s.inForce = true;
        s.written.reset();
        if (!s.store->write(target.options) || !holds(*s.store, target)) {
            qDebug().noquote() << "The system proxy in" << s.store->name()
                               << "does not keep greenlark's options";
            result = result == Result::Done ? Result::NotWritten : result;
            continue;
        }
        s.written = target.options;
        s.store->notify();
        // Armed once the stores' libraries are set up, so that their own
        // clean-up at exit comes after this.
        static const bool armed = (std::atexit(giveBackAtExit), true);
        Q_UNUSED(armed);
    }
    return result;
}

bool UserProxySettings::restore(bool end)
{
    if (m_ended || !m_lock.isLocked())
        return true;
    m_ended = end;
    bool held = true;
    QStringList given;
    for (Store &s : m_stores) {
        if (!s.user)
            continue;
        platform::StoredProxy now;
        if (s.inForce && s.store->read(&now) && takenOver(s, now)) {
            qDebug().noquote() << "The system proxy in" << s.store->name()
                               << "was changed by the user while greenlark ran; it stays so";
        } else if (s.inForce) {
            if (!s.store->restore(*s.user) || !holds(*s.store, *s.user)) {
                qDebug().noquote()
                    << "The user's proxy options cannot be written back to" << s.store->name();
                held = false;
                continue;
            }
            // Programs that keep the options would otherwise go on sending
            // their traffic to a proxy that is about to end.
            s.store->notify();
        }
        given << s.store->name();
        s.user.reset();
        s.journaled = false;
        s.inForce = false;
        s.written.reset();
    }
    if (!updateJournal([&given](proxyjournal::Entries &entries) {
            for (const QString &name : given)
                entries.remove(name);
        }))
        qDebug().noquote() << "The journal" << m_journal << "keeps settings already given back";
    if (!held && end)
        qWarning().noquote() << "greenlark could not give your own proxy settings back; they are "
                                "kept in"
                             << m_journal << "and the next start of greenlark gives them back";
    return held;
}

bool UserProxySettings::takenOver(const Store &s, const platform::StoredProxy &now)
{
    return s.written && !platform::sameOptions(now.options, *s.written) && !isOwnProxy(now.options);
}

bool UserProxySettings::inForce() const
{
    for (const Store &s : m_stores) {
        if (s.inForce)
            return true;
    }
    return false;
}

bool UserProxySettings::updateJournal(const std::function<void(proxyjournal::Entries &)> &edit)
{
    proxyjournal::Entries entries;
    QString why;
    if (!proxyjournal::read(m_journal, &entries, &why) && QFileInfo(m_journal).isFile() &&
        !QFileInfo(m_journal).isSymLink()) {
        // Whatever it holds may be all that is left of some store's settings.
        m_journalDamaged = true;
        const QString aside = proxyjournal::keepAside(m_journal);
        qDebug().noquote() << QStringLiteral("The journal %1 cannot be read (%2); it is kept as %3")
                                  .arg(m_journal, why,
                                       aside.isEmpty() ? QStringLiteral("it is") : aside);
        if (aside.isEmpty())
            return false;
    }
    const proxyjournal::Entries before = entries;
    // A journal of the first version was for whichever store the run used;
    // the save that read it took it for each store that needed it.
    entries.remove(QString());
    edit(entries);
    if (entries == before && QFileInfo::exists(m_journal) == !entries.isEmpty())
        return true;
    if (proxyjournal::write(m_journal, entries, &why))
        return true;
    qDebug().noquote()
        << QStringLiteral("The journal %1 cannot be written (%2)").arg(m_journal, why);
    return false;
}
