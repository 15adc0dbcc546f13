#include "platform/proxyjournal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <cmath>

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

namespace proxyjournal {

namespace {

const char kFormat[] = "greenlark user proxy options";
constexpr int kVersion = 1;
// Five options of a few hundred characters at most; anything much larger was
// not written here.
constexpr qint64 kMaxSize = 64 * 1024;
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

std::optional<ProxyOptions> read(const QString &path, QString *why)
{
    why->clear();
    if (path.isEmpty()) {
        *why = QStringLiteral("there is no data location");
        return std::nullopt;
    }
    const QFileInfo info(path);
    if (info.isSymLink()) {
        *why = QStringLiteral("it is a symbolic link");
        return std::nullopt;
    }
    if (!info.exists())
        return std::nullopt;
    if (info.isDir()) {
        *why = QStringLiteral("it is a folder");
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("it cannot be read (%1)").arg(file.errorString());
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kMaxSize + 1);
    if (file.error() != QFileDevice::NoError) {
        *why = QStringLiteral("it cannot be read (%1)").arg(file.errorString());
        return std::nullopt;
    }
    if (bytes.isEmpty()) {
        *why = QStringLiteral("it is empty");
        return std::nullopt;
    }
    if (bytes.size() > kMaxSize) {
        *why = QStringLiteral("it is too large");
        return std::nullopt;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *why = QStringLiteral("it is damaged (%1)").arg(error.errorString());
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    if (object.value(QLatin1String("format")).toString() != QLatin1String(kFormat)) {
        *why = QStringLiteral("it is not a journal of the user's proxy options");
        return std::nullopt;
    }
    const QJsonValue version = object.value(QLatin1String("version"));
    if (version.toDouble(-1) != kVersion) {
        *why = QStringLiteral("it has version %1, not %2")
                   .arg(version.isDouble() ? QString::number(version.toDouble())
                                           : QStringLiteral("none"))
                   .arg(kVersion);
        return std::nullopt;
    }
    ProxyOptions options;
    if (!readNumber(object, "flags", &options.flags) ||
        !readString(object, "proxyServer", &options.proxyServer) ||
        !readString(object, "proxyBypass", &options.proxyBypass) ||
        !readString(object, "autoConfigUrl", &options.autoConfigUrl) ||
        !readNumber(object, "autoDiscoveryFlags", &options.autoDiscoveryFlags)) {
        *why = QStringLiteral("an option is missing or of the wrong type");
        return std::nullopt;
    }
    return options;
}

bool write(const QString &path, const ProxyOptions &options, QString *why)
{
    why->clear();
    if (path.isEmpty()) {
        *why = QStringLiteral("there is no data location");
        return false;
    }
    const QFileInfo info(path);
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
    const QJsonObject object{
        {QStringLiteral("format"), QLatin1String(kFormat)},
        {QStringLiteral("version"), kVersion},
        {QStringLiteral("flags"), double(options.flags)},
        {QStringLiteral("proxyServer"), stringValue(options.proxyServer)},
        {QStringLiteral("proxyBypass"), stringValue(options.proxyBypass)},
        {QStringLiteral("autoConfigUrl"), stringValue(options.autoConfigUrl)},
        {QStringLiteral("autoDiscoveryFlags"), double(options.autoDiscoveryFlags)},
    };
    const QByteArray bytes = QJsonDocument(object).toJson();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(bytes) != bytes.size() || !file.commit()) {
        *why = file.errorString();
        return false;
    }
    return true;
}

bool remove(const QString &path, QString *why)
{
    why->clear();
    const QFileInfo info(path);
    if (path.isEmpty() || (!info.exists() && !info.isSymLink()))
        return true;
    if (info.isDir() && !info.isSymLink()) {
        *why = QStringLiteral("it is a folder");
        return false;
    }
    QFile file(path);
    if (!file.remove()) {
        *why = file.errorString();
        return false;
    }
    return true;
}

} // namespace proxyjournal
