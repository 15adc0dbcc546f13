#include "coreconfig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace coreconfig {

namespace {

const QString kLoopback = QStringLiteral("127.0.0.1");

// "warning" keeps the access log (one line per request, which the tests read
// to see which node carried it) and the core's own warnings, without the
// chatter of "info".
QJsonObject logSection()
{
    return {{QStringLiteral("loglevel"), QStringLiteral("warning")}};
}

QJsonObject user(const QString &userId)
{
    // alterId 0 selects the AEAD header; the older one is deprecated in the core.
    return {{QStringLiteral("id"), userId}, {QStringLiteral("alterId"), 0}};
}

QByteArray document(const QJsonObject &config)
{
    return QJsonDocument(config).toJson(QJsonDocument::Indented);
}

} // namespace

QStringList allowedRanges()
{
    return {QStringLiteral("127.0.0.0/8"), QStringLiteral("::1/128"),
            QStringLiteral("198.18.0.0/15")};
}

QByteArray nodeServer(quint16 port, const QString &userId, bool allowInternet)
{
    const QJsonObject inbound{
        {QStringLiteral("listen"), kLoopback},
        {QStringLiteral("port"), port},
        {QStringLiteral("protocol"), QStringLiteral("vmess")},
        {QStringLiteral("settings"),
         QJsonObject{{QStringLiteral("clients"), QJsonArray{user(userId)}}}},
    };
    const QJsonObject direct{{QStringLiteral("protocol"), QStringLiteral("freedom")},
                             {QStringLiteral("tag"), QStringLiteral("direct")}};

    QJsonObject config{{QStringLiteral("log"), logSection()},
                       {QStringLiteral("inbounds"), QJsonArray{inbound}}};
    if (allowInternet) {
        config.insert(QStringLiteral("outbounds"), QJsonArray{direct});
        return document(config);
    }

    // The first outbound takes whatever no rule matches, so the blackhole
    // leads: a destination the rules do not know is blocked, never forwarded.
    // Domain names are matched as names ("AsIs"), never resolved, so a name
    // that resolves into an allowed range cannot open the way out.
    const QJsonObject blocked{
        {QStringLiteral("protocol"), QStringLiteral("blackhole")},
        {QStringLiteral("tag"), QStringLiteral("blocked")},
        {QStringLiteral("settings"),
         QJsonObject{{QStringLiteral("response"),
                      QJsonObject{{QStringLiteral("type"), QStringLiteral("http")}}}}},
    };
    const QJsonArray rules{
        QJsonObject{{QStringLiteral("type"), QStringLiteral("field")},
                    {QStringLiteral("ip"), QJsonArray::fromStringList(allowedRanges())},
                    {QStringLiteral("outboundTag"), QStringLiteral("direct")}},
        QJsonObject{{QStringLiteral("type"), QStringLiteral("field")},
                    {QStringLiteral("domain"), QJsonArray{QStringLiteral("full:localhost")}},
                    {QStringLiteral("outboundTag"), QStringLiteral("direct")}},
    };
    config.insert(QStringLiteral("outbounds"), QJsonArray{blocked, direct});
    config.insert(QStringLiteral("routing"),
                  QJsonObject{{QStringLiteral("domainStrategy"), QStringLiteral("AsIs")},
                              {QStringLiteral("rules"), rules}});
    return document(config);
}

QByteArray client(quint16 listenPort, quint16 nodePort, const QString &userId)
{
    const QJsonObject inbound{{QStringLiteral("listen"), kLoopback},
                              {QStringLiteral("port"), listenPort},
                              {QStringLiteral("protocol"), QStringLiteral("http")}};
    const QJsonObject server{{QStringLiteral("address"), kLoopback},
                             {QStringLiteral("port"), nodePort},
                             {QStringLiteral("users"), QJsonArray{user(userId)}}};
    const QJsonObject outbound{
        {QStringLiteral("protocol"), QStringLiteral("vmess")},
        {QStringLiteral("settings"), QJsonObject{{QStringLiteral("vnext"), QJsonArray{server}}}}};
    return document(QJsonObject{{QStringLiteral("log"), logSection()},
                                {QStringLiteral("inbounds"), QJsonArray{inbound}},
                                {QStringLiteral("outbounds"), QJsonArray{outbound}}});
}

} // namespace coreconfig
