// The demo service's parts: the nodes file, the PAC server over loopback HTTP,
// and the service peer against a listener standing in for the front-end.
#include "tools/nodesfile.h"
#include "tools/pacserver.h"
#include "tools/servicepeer.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

const QByteArray kHeartbeat = QByteArray::fromHex("a5010000000100000000a4");
const QByteArray kRequestNodes = QByteArray::fromHex("020000000100000003");

// Framed here by hand rather than with the codec, so a codec fault cannot hide
// in both the expectation and the result.
QByteArray framed(const QByteArray &payload)
{
    QByteArray length(4, '\0');
    qToLittleEndian<quint32>(quint32(payload.size() + 1), length.data());
    return char(0xA5) + length + '\0' + payload + QByteArray(4, '\0') + char(0xA4);
}

// A proxy port whose PAC port (one above) is free. Ports come from the system,
// never fixed: other tests and a running front-end may hold any fixed one.
quint16 freeProxyPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return quint16(probe.serverPort() - 1);
}

// The status line and headers, and the body, of one HTTP exchange.
QPair<QByteArray, QByteArray> httpGet(quint16 port, const QByteArray &target)
{
    QTcpSocket socket;
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    closed.wait(5000);
    const QByteArray response = socket.readAll();
    const int headEnd = response.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return {};
    return {response.left(headEnd + 2), response.mid(headEnd + 4)};
}

// The front-end's end of the link: a listener on a free loopback port that
// keeps every byte the peer sends.
struct FrontEnd
{
    QTcpServer server;
    QTcpSocket *link = nullptr;
    QByteArray bytes;

    FrontEnd() { server.listen(QHostAddress::LocalHost, 0); }
    bool accept()
    {
        QSignalSpy arrived(&server, &QTcpServer::newConnection);
        if (!server.hasPendingConnections() && !arrived.wait(5000))
            return false;
        QTcpSocket *next = link = server.nextPendingConnection();
        QObject::connect(next, &QTcpSocket::readyRead, [this, next] { bytes += next->readAll(); });
        return true;
    }
};

} // namespace

class tst_DemoService : public QObject
{
    Q_OBJECT

private slots:
    void nodesFile_data();
    void nodesFile();
    void nodeCountLimit();
    void pacFollowsProxyPort();
    void describeNeverReadsPastTheMessage();
    void peerAnswersOnlyCode3();
    void peerSurvivesOwnerDroppingLinkMidRead();
    void peerReconnectsAfterDrop();
};

void tst_DemoService::nodesFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("nodes");
    QTest::addColumn<QString>("last");       // [*]tag, id bytes, country|info of the last node
    QTest::addColumn<QStringList>("errors"); // the start of each error, in order

    QTest::newRow("plain lines") << QByteArray(
                                        "# nodes\n1 1001 日本 tokyo\n7 258 美国 los angeles\n")
                                 << 2 << "7 0201 美国|los angeles" << QStringList();
    // Same id under another tag is a different node; same tag and id is not.
    QTest::newRow("every bad line, by number")
        << QByteArray("256 1 a\n1 5 日本\n2 5 日本\n1 5 美国\n\n1 70000 a\n1 2\nx 1 a\n") << 2
        << "2 0500 日本|" << QStringList{"line 1:", "line 4:", "line 6:", "line 7:", "line 8:"};
    QTest::newRow("marked for a server") << QByteArray("*1 1 日本 a\n2 2 美国 b\n* 3 3 香港 c d\n")
                                         << 3 << "*3 0300 香港|c d" << QStringList();
    QTest::newRow("empty file") << QByteArray() << 0 << QString() << QStringList{"no nodes"};

    // Each text field keeps its last byte for the terminating zero.
    auto twice = [](const QString &text) { return ("1 1 " + text + ' ' + text).toUtf8(); };
    auto kept = [](const QString &text) { return "1 0100 " + text + '|' + text; };
    const QString guo9 = QString("国").repeated(9);
    QTest::newRow("cut before a 3-byte character")
        << twice('a' + guo9 + "国") << 1 << kept('a' + guo9) << QStringList();
}

void tst_DemoService::nodesFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, nodes);
    QFETCH(QString, last);
    QFETCH(QStringList, errors);

    const nodesfile::ParseResult result = nodesfile::parseNodes(contents);
    QCOMPARE(result.nodes.size(), nodes);
    if (nodes > 0) {
        const NodeRecord &node = result.nodes.last();
        const bool served = result.served.contains(nodes - 1);
        QCOMPARE(QStringLiteral("%1%2 %3 %4|%5")
                     .arg(QLatin1String(served ? "*" : ""))
                     .arg(node.tag)
                     .arg(QString::fromLatin1(
                         QByteArray(reinterpret_cast<const char *>(node.id), 2).toHex()))
                     .arg(control::fieldText(node.country), control::fieldText(node.info)),
                 last);
    }
    QCOMPARE(result.errors.size(), errors.size());
    for (int i = 0; i < errors.size(); ++i)
        QVERIFY2(result.errors.at(i).startsWith(errors.at(i)), qPrintable(result.errors.at(i)));
}

void tst_DemoService::nodeCountLimit()
{
    QByteArray contents = "# many\n";
    for (int i = 0; i < 324; ++i)
        contents += "1 " + QByteArray::number(i) + " 日本 n" + QByteArray::number(i) + '\n';
    const nodesfile::ParseResult full = nodesfile::parseNodes(contents);
    QVERIFY(full.ok());
    QCOMPARE(control::composeNodeList(1, full.nodes).size(), 20423);

    const nodesfile::ParseResult over = nodesfile::parseNodes(contents + "1 324 日本 n\n");
    QCOMPARE(over.errors.size(), 1);
    // The header comment shifts line numbers by one.
    QVERIFY2(over.errors.first().startsWith("line 326:"), qPrintable(over.errors.first()));

    // Any more would not fit the front-end's receive buffer and would stall its link.
    ServicePeer peer;
    peer.setNodes(full.nodes + full.nodes);
    QCOMPARE(peer.nodes().size(), 324);
}

void tst_DemoService::pacFollowsProxyPort()
{
    PacServer pac;
    const quint16 first = freeProxyPort();
    QVERIFY(pac.setProxyPort(first));
    // Never `first` again: its PAC port is taken.
    const quint16 second = freeProxyPort();
    QVERIFY(pac.setProxyPort(second));
    // Any query, as the front-end adds its timestamp; nothing but /pac/.
    const auto reply = httpGet(second + 1, "/pac/?t=20240102030405");
    QVERIFY(reply.first.contains("\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"));
    QVERIFY(reply.second.contains("\"PROXY 127.0.0.1:" + QByteArray::number(second) + "\""));
    QVERIFY(httpGet(second + 1, "/proxy.pac?t=/pac/").first.startsWith("HTTP/1.1 404 "));

    QTcpSocket old;
    QSignalSpy failed(&old, &QTcpSocket::errorOccurred);
    old.connectToHost(QHostAddress::LocalHost, first + 1);
    QVERIFY(failed.wait(5000));
    QCOMPARE(old.error(), QAbstractSocket::ConnectionRefusedError);

    // Setting the same port again must not fail on binding it twice.
    QVERIFY(pac.setProxyPort(second));
    QVERIFY(httpGet(second + 1, "/pac/").first.startsWith("HTTP/1.1 200"));
    // The PAC port of 65535 would wrap to 0.
    QVERIFY(!pac.setProxyPort(65535));
    QVERIFY(!pac.isServing());
}

void tst_DemoService::describeNeverReadsPastTheMessage()
{
    const QVector<NodeRecord> nodes{control::makeNodeRecord(10, 1001, "tokyo", "日本")};
    QCOMPARE(describeMessage(QByteArray::fromHex("04000000030000000ae903"), nodes),
             QStringLiteral("SelectNode tag=10 id=1001 (日本 tokyo)"));
    QCOMPARE(describeMessage(QByteArray::fromHex("04000000030000000702"), nodes),
             QStringLiteral("SelectNode, body too short (2 bytes): 07 02"));
    QCOMPARE(describeMessage(QByteArray::fromHex("000000"), nodes),
             QStringLiteral("short message of 3 bytes: 00 00 00"));
}

void tst_DemoService::peerAnswersOnlyCode3()
{
    FrontEnd frontEnd;
    ServicePeer peer;
    peer.setNodes({control::makeNodeRecord(7, 0x0102, "tokyo", "日本")});
    peer.connectToFrontEnd(frontEnd.server.serverPort());
    QVERIFY(frontEnd.accept());

    const QByteArray otherCode = QByteArray::fromHex("020000000100000005");
    frontEnd.link->write(framed(kRequestNodes) + framed(otherCode));
    QTRY_COMPARE_WITH_TIMEOUT(peer.received().size(), 2, 5000);
    // The heartbeat leaves after any answer, so once it is in, every answer is.
    peer.sendHeartbeat();
    QTRY_VERIFY_WITH_TIMEOUT(frontEnd.bytes.endsWith(kHeartbeat), 5000);

    const QByteArray answer = QByteArray::fromHex("a5 4b000000 00"
                                                  "03000000 42000000 01 0100"
                                                  "07 0201") +
                              QByteArray("tokyo").leftJustified(30, '\0') +
                              QByteArray("日本").leftJustified(30, '\0') +
                              QByteArray::fromHex("00000000 a4");
    QCOMPARE(frontEnd.bytes.toHex(' '), (answer + kHeartbeat).toHex(' '));
}

void tst_DemoService::peerSurvivesOwnerDroppingLinkMidRead()
{
    FrontEnd frontEnd;
    ServicePeer peer;
    peer.setAutoReconnect(false);
    connect(&peer, &ServicePeer::messageReceived, &peer, &ServicePeer::disconnectFromFrontEnd);
    peer.connectToFrontEnd(frontEnd.server.serverPort());
    QVERIFY(frontEnd.accept());
    QSignalSpy closed(frontEnd.link, &QTcpSocket::disconnected);
    frontEnd.link->write(framed(kRequestNodes).repeated(3));
    QVERIFY(closed.wait(5000));
    QCOMPARE(peer.received().size(), 1);
    QVERIFY(!peer.isConnected());
}

void tst_DemoService::peerReconnectsAfterDrop()
{
    FrontEnd frontEnd;
    ServicePeer peer;
    peer.setReconnectInterval(10);
    QSignalSpy up(&peer, &ServicePeer::connected);
    peer.connectToFrontEnd(frontEnd.server.serverPort());
    QVERIFY(frontEnd.accept());
    QTRY_COMPARE_WITH_TIMEOUT(up.size(), 1, 5000);

    // A header left over from the old link that, joined to the new link's first
    // frame, would swallow it whole.
    frontEnd.link->write(QByteArray::fromHex("a50f000000"));
    frontEnd.link->disconnectFromHost();
    QVERIFY(frontEnd.accept());
    QTRY_COMPARE_WITH_TIMEOUT(up.size(), 2, 5000);

    frontEnd.link->write(framed(kRequestNodes));
    QTRY_COMPARE_WITH_TIMEOUT(peer.received(), QList<QByteArray>{kRequestNodes}, 5000);
}

QTEST_GUILESS_MAIN(tst_DemoService)
#include "tst_demoservice.moc"
