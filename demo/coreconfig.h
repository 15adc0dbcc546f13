// The proxy core's (v2ray 4.34) configurations for the demo: a node server per
// node and the client on the listen port. JSON, as the core reads it.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace coreconfig {

// Where a node server forwards unless the internet is allowed: loopback and
// 198.18.0.0/15, the range set aside for benchmarking that the tests use.
QStringList allowedRanges();

// A VMess server on 127.0.0.1:port that lets in `userId` only and forwards
// with a "freedom" outbound; without `allowInternet` everything outside
// allowedRanges() goes to a "blackhole" that answers 403.
QByteArray nodeServer(quint16 port, const QString &userId, bool allowInternet);

// An HTTP proxy on 127.0.0.1:listenPort that sends everything to the node
// server on 127.0.0.1:nodePort. HTTP only: 4.34 has no inbound that speaks
// SOCKS and HTTP on one port.
QByteArray client(quint16 listenPort, quint16 nodePort, const QString &userId);

} // namespace coreconfig
