#include "userproxy/proxyjournal.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStandardPaths>
#include <algorithm>
#include <cmath>

namespace proxyjournal {

namespace {

const char kFormat[] = "greenlark user proxy options";
constexpr int kVersion = 2;
// One bound for both ways, so that whatever is written can be read back: far
// beyond any proxy settings, short of what QJsonDocument refuses.
constexpr qint64 kMaxSize = 16 * 1024 * 1024;
const char kFileName[] = "/user-proxy-options.json";

bool readNumber(const QJsonObject &object, const char *key, DWORD *number)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (d < 0 || d > double(0xFFFFFFFFu) || std::floor(d) != d)
        return false;
    *number = DWORD(d);
    return true;
}

bool readString(const QJsonObject &object, const char *key, QString *text)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isNull()) {
        *text = QString();
        return true;
    }
    if (!value.isString())
        return false;
    *text = value.toString();
    if (text->isNull())
        *text = QLatin1String("");
    return true;
}

QJsonValue stringValue(const QString &text)
{
    return text.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

bool readEntry(const QJsonObject &object, platform::StoredProxy *entry)
{
    ProxyOptions &options = entry->options;
    const QJsonValue exact = object.value(QLatin1String("desktop"));
    entry->exact = exact.toObject();
    return readNumber(object, "flags", &options.flags) &&
           readString(object, "proxyServer", &options.proxyServer) &&
           readString(object, "proxyBypass", &options.proxyBypass) &&
           readString(object, "autoConfigUrl", &options.autoConfigUrl) &&
           readNumber(object, "autoDiscoveryFlags", &options.autoDiscoveryFlags) &&
           (exact.isUndefined() || exact.isObject());
}

QJsonObject entryObject(const platform::StoredProxy &entry)
{
    const ProxyOptions &options = entry.options;
    QJsonObject object{
        {QStringLiteral("flags"), double(options.flags)},
        {QStringLiteral("proxyServer"), stringValue(options.proxyServer)},
        {QStringLiteral("proxyBypass"), stringValue(options.proxyBypass)},
        {QStringLiteral("autoConfigUrl"), stringValue(options.autoConfigUrl)},
        {QStringLiteral("autoDiscoveryFlags"), double(options.autoDiscoveryFlags)},
    };
    if (!entry.exact.isEmpty())
        object.insert(QStringLiteral("desktop"), entry.exact);
    return object;
}

bool parse(const QByteArray &bytes, Entries *entries, QString *why)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *why = QStringLiteral("it is damaged (%1)").arg(error.errorString());
        return false;
    }
    const QJsonObject object = document.object();
    if (object.value(QLatin1String("format")).toString() != QLatin1String(kFormat)) {
        *why = QStringLiteral("it is not a journal of the user's proxy options");
        return false;
    }
    const QJsonValue version = object.value(QLatin1String("version"));
    Entries read;
    bool ok = true;
    if (version.toDouble(-1) == 1) {
        ok = readEntry(object, &read[QString()]);
    } else if (version.toDouble(-1) == kVersion) {
        const QJsonValue stores = object.value(QLatin1String("stores"));
        ok = stores.isObject();
        const QJsonObject byName = stores.toObject();
        for (auto it = byName.begin(); ok && it != byName.end(); ++it)
            ok = it.value().isObject() && !it.key().isEmpty() &&
                 readEntry(it.value().toObject(), &read[it.key()]);
    } else {
        *why = QStringLiteral("it has version %1, not %2")
                   .arg(version.isDouble() ? QString::number(version.toDouble())
                                           : QStringLiteral("none"))
                   .arg(kVersion);
        return false;
    }
    if (!ok) {
        *why = QStringLiteral("an option is missing or of the wrong type");
        return false;
    }
    *entries = read;
    return true;
}

} // namespace

QString path()
{
    const QString store = qEnvironmentVariable("GREENLARK_INTERNET_SETTINGS");
    if (!store.isEmpty()) {
        const QString named = qEnvironmentVariable("GREENLARK_PROXY_JOURNAL");
        return named.isEmpty() ? QFileInfo(store).absolutePath() + QLatin1String(kFileName) : named;
    }
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return data.isEmpty() ? QString() : data + QLatin1String(kFileName);
}

bool read(const QString &path, Entries *entries, QString *why)
{
    why->clear();
    entries->clear();
    if (path.isEmpty()) {
        *why = QStringLiteral("there is no data location");
        return false;
    }
    const QFileInfo info(path);
    if (info.isSymLink()) {
        *why = QStringLiteral("it is a symbolic link");
        return false;
    }
    if (!info.exists())
        return true;
    if (info.isDir()) {
        *why = QStringLiteral("it is a folder");
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("it cannot be read (%1)").arg(file.errorString());
        return false;
    }
    // As much as the file holds: a read of the bound itself would claim 16 MiB
    // each time.
    const QByteArray bytes = file.read(std::min(file.size(), kMaxSize) + 1);
    if (file.error() != QFileDevice::NoError) {
        *why = QStringLiteral("it cannot be read (%1)").arg(file.errorString());
        return false;
    }
    if (bytes.size() > kMaxSize) {
        *why = QStringLiteral("it is too large");
        return false;
    }
    return parse(bytes, entries, why);
}

bool write(const QString &path, const Entries &entries, QString *why)
{
    why->clear();
    if (path.isEmpty()) {
        *why = QStringLiteral("there is no data location");
        return false;
    }
    const QFileInfo info(path);
    if (entries.isEmpty()) {
        if (info.isDir() && !info.isSymLink()) {
            *why = QStringLiteral("it is a folder");
            return false;
        }
        QFile file(path);
        if ((info.exists() || info.isSymLink()) && !file.remove()) {
            *why = file.errorString();
            return false;
        }
        return true;
    }
    if (!QDir().mkpath(info.absolutePath())) {
        *why = QStringLiteral("its folder cannot be made");
        return false;
    }
    // QSaveFile writes through a link to wherever it points; the journal
    // belongs in the data location and nowhere else.
    if (info.isSymLink() && !QFile::remove(path)) {
        *why = QStringLiteral("the symbolic link in its place cannot be removed");
        return false;
    }
    QJsonObject stores;
    for (auto it = entries.begin(); it != entries.end(); ++it)
        stores.insert(it.key(), entryObject(it.value()));
    const QJsonObject object{
        {QStringLiteral("format"), QLatin1String(kFormat)},
        {QStringLiteral("version"), kVersion},
        {QStringLiteral("stores"), stores},
    };
    const QByteArray bytes = QJsonDocument(object).toJson();
    if (bytes.size() > kMaxSize) {
        *why = QStringLiteral("it would be too large");
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        *why = file.errorString();
        return false;
    }
    return true;
}

QString keepAside(const QString &path)
{
    const QString aside = path + QLatin1String(".damaged-") +
                          QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    return QFile::rename(path, aside) ? aside : QString();
}

} // namespace proxyjournal
