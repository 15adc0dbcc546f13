// The stand-in's file of the per-connection options, in Qt's INI format.

#include "platform/standinfile.h"

#include "platform/plainini.h"

#ifndef Q_OS_WIN

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <iterator>
#include <memory>

namespace {

struct KnownOption
{
    DWORD id;
    const char *key;
    bool isString;
    DWORD absentValue; // numbers only; an absent string is the null string
};

// A fresh Windows profile reads as direct access with the user-set discovery flag.
constexpr KnownOption kOptions[] = {
    {INTERNET_PER_CONN_FLAGS, "DefaultConnection/Flags", false, PROXY_TYPE_DIRECT},
    {INTERNET_PER_CONN_PROXY_SERVER, "DefaultConnection/ProxyServer", true, 0},
    {INTERNET_PER_CONN_PROXY_BYPASS, "DefaultConnection/ProxyBypass", true, 0},
    {INTERNET_PER_CONN_AUTOCONFIG_URL, "DefaultConnection/AutoConfigUrl", true, 0},
    {INTERNET_PER_CONN_AUTODISCOVERY_FLAGS, "DefaultConnection/AutoDiscoveryFlags", false, 1},
};

const char kSettingsChangedKey[] = "Notifications/SettingsChanged";
const char kRefreshKey[] = "Notifications/Refresh";
const char kFlagsUiKey[] = "System/FlagsUi";

// Another process holds the lock only for one read-modify-write of a small file.
constexpr int kLockWaitMs = 5000;

} // namespace

QString platform::standin::path()
{
    const QString explicitPath = qEnvironmentVariable("GREENLARK_INTERNET_SETTINGS");
    if (!explicitPath.isEmpty())
        return explicitPath;
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (configHome.isEmpty())
        configHome = QDir::homePath() + QLatin1String("/.config");
    return configHome + QLatin1String("/greenlark/internet-settings.ini");
}

namespace {

struct StoredOption
{
    DWORD number = 0;
    QString text; // null: no string
};

bool readNumber(const QVariant &value, DWORD *number)
{
    if (value.userType() != QMetaType::QString)
        return false;
    bool ok = false;
    const qulonglong parsed = value.toString().toULongLong(&ok, 10);
    if (!ok || parsed > 0xFFFFFFFFull)
        return false;
    *number = static_cast<DWORD>(parsed);
    return true;
}

// A value QSettings parsed into anything but one string or one decimal DWORD was
// not written by the stand-in; reading it as 0 or "" would hand the caller
// settings that were never stored.
bool readStored(const QSettings &settings, const KnownOption &known, StoredOption *stored)
{
    const QString key = QLatin1String(known.key);
    if (!settings.contains(key)) {
        stored->number = known.absentValue;
        stored->text = QString();
        return true;
    }
    const QVariant value = settings.value(key);
    if (known.isString) {
        if (value.userType() != QMetaType::QString)
            return false;
        // An empty value is a present, empty string, distinct from an absent one.
        stored->text = value.toString();
        if (stored->text.isNull())
            stored->text = QLatin1String("");
        return true;
    }
    return readNumber(value, &stored->number);
}

bool readCounter(const QSettings &settings, const char *key, qulonglong *count)
{
    const QString name = QLatin1String(key);
    if (!settings.contains(name)) {
        *count = 0;
        return true;
    }
    const QVariant value = settings.value(name);
    bool ok = false;
    *count = value.userType() == QMetaType::QString ? value.toString().toULongLong(&ok, 10) : 0;
    return ok;
}

// The settings file, read and written through a private copy. QSettings shares
// one cache per path across the process and trusts size and modification time,
// so reading the real file through it could serve a stale view of a file that
// another process replaced within the same clock tick; and a failed sync leaves
// its pending changes in that cache for the next reader. A fresh scratch path
// each time never meets either.
class SettingsCopy
{
public:
    // False when the file exists but cannot be read or parsed.
    bool load(const QString &path)
    {
        if (!m_dir.isValid())
            return false;
        QByteArray contents;
        if (QFileInfo::exists(path)) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly))
                return false;
            contents = file.read(std::min(file.size(), platform::kMaxPlainIniSize) + 1);
            if (file.error() != QFileDevice::NoError || !platform::isPlainIni(contents))
                return false;
        }
        QFile scratch(scratchPath());
        if (!scratch.open(QIODevice::WriteOnly) || scratch.write(contents) != contents.size() ||
            !scratch.flush())
            return false;
        scratch.close();
        m_settings = std::make_unique<QSettings>(scratchPath(), QSettings::IniFormat);
        return m_settings->status() == QSettings::NoError;
    }

    QSettings &settings() { return *m_settings; }

    // Replaces the file as a whole: a failure at any point leaves the old one.
    bool saveTo(const QString &path)
    {
        m_settings->sync();
        if (m_settings->status() != QSettings::NoError)
            return false;
        QFile scratch(scratchPath());
        if (!scratch.open(QIODevice::ReadOnly))
            return false;
        const QByteArray contents = scratch.readAll();
        if (scratch.error() != QFileDevice::NoError || !readsBackAsSet(contents))
            return false;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
            return false;
        return file.commit();
    }

private:
    QString scratchPath() const { return m_dir.filePath(QStringLiteral("settings.ini")); }

    // QSettings reports a short write (a full disk, a file size limit) as
    // success, so what reached the disk is parsed again, through a path of its
    // own, and stored only if it says what was set.
    bool readsBackAsSet(const QByteArray &contents) const
    {
        const QString checkPath = m_dir.filePath(QStringLiteral("check.ini"));
        QFile check(checkPath);
        if (!check.open(QIODevice::WriteOnly) || check.write(contents) != contents.size() ||
            !check.flush())
            return false;
        check.close();
        const QSettings reread(checkPath, QSettings::IniFormat);
        const QStringList keys = m_settings->allKeys();
        if (reread.status() != QSettings::NoError || reread.allKeys() != keys)
            return false;
        for (const QString &key : keys) {
            if (reread.value(key) != m_settings->value(key))
                return false;
        }
        return true;
    }

    // In the session's runtime folder where there is one: a memory file system
    // on most desktops, where the syncs QSettings makes of its own files (its
    // lock, its atomic save) cost no disk writes, which each start would wait for.
    static QString scratchTemplate()
    {
        const QFileInfo runtime(qEnvironmentVariable("XDG_RUNTIME_DIR"));
        const QString base =
            runtime.isDir() && runtime.isWritable() ? runtime.filePath() : QDir::tempPath();
        return base + QStringLiteral("/greenlark-standin-XXXXXX");
    }

    QTemporaryDir m_dir{scratchTemplate()};
    // Declared after the folder so it is gone before the folder is removed.
    std::unique_ptr<QSettings> m_settings;
};

// Serialises read-modify-write cycles of the file across processes, so that two
// writers never lose each other's options or notification counts.
class WriteLock
{
public:
    explicit WriteLock(const QString &path)
        : m_folder(QFileInfo(path).absolutePath()), m_lock(path + QLatin1String(".lock"))
    {
    }

    // Makes the file's folder on the way, as the first write needs it.
    bool acquire() { return QDir().mkpath(m_folder) && m_lock.tryLock(kLockWaitMs); }

private:
    QString m_folder;
    QLockFile m_lock;
};

} // namespace

namespace platform::standin {

bool read(ProxyOptions *options, bool *knowsFlagsUi)
{
    SettingsCopy copy;
    if (!copy.load(path()))
        return false;
    // Every stored option is checked: a file that is partly damaged is not
    // the connection the user has.
    StoredOption stored[std::size(kOptions)];
    for (size_t i = 0; i < std::size(kOptions); ++i) {
        if (!readStored(copy.settings(), kOptions[i], &stored[i]))
            return false;
    }
    options->flags = stored[0].number;
    options->proxyServer = stored[1].text;
    options->proxyBypass = stored[2].text;
    options->autoConfigUrl = stored[3].text;
    options->autoDiscoveryFlags = stored[4].number;
    if (knowsFlagsUi)
        *knowsFlagsUi =
            copy.settings().value(QLatin1String(kFlagsUiKey)).toString() != QLatin1String("false");
    return true;
}

bool write(const ProxyOptions &options, unsigned present)
{
    const QString file = path();
    WriteLock lock(file);
    SettingsCopy copy;
    if (!lock.acquire() || !copy.load(file))
        return false;
    QSettings &settings = copy.settings();
    const StoredOption values[] = {{options.flags, QString()},
                                   {0, options.proxyServer},
                                   {0, options.proxyBypass},
                                   {0, options.autoConfigUrl},
                                   {options.autoDiscoveryFlags, QString()}};
    static_assert(std::size(values) == std::size(kOptions), "one value per option");
    for (size_t i = 0; i < std::size(kOptions); ++i) {
        const KnownOption &known = kOptions[i];
        const QString key = QLatin1String(known.key);
        if (!(present & (1u << known.id)))
            continue;
        if (!known.isString)
            settings.setValue(key, static_cast<uint>(values[i].number));
        else if (values[i].text.isNull())
            settings.remove(key);
        else
            settings.setValue(key, values[i].text);
    }
    return copy.saveTo(file);
}

bool notify(DWORD option)
{
    const char *key =
        option == INTERNET_OPTION_SETTINGS_CHANGED ? kSettingsChangedKey : kRefreshKey;
    const QString file = path();
    WriteLock lock(file);
    SettingsCopy copy;
    qulonglong count = 0;
    if (!lock.acquire() || !copy.load(file) || !readCounter(copy.settings(), key, &count))
        return false;
    copy.settings().setValue(QLatin1String(key), count + 1);
    return copy.saveTo(file);
}

} // namespace platform::standin

#endif // Q_OS_WIN
