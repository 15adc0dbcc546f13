// The demo service's protocol and bounds: the nodes file, the PAC port, and the
// bytes the service peer puts on the link.
#include "link/controlframe.h"
#include "testsupport.h"
#include "tools/nodesfile.h"
#include "tools/pacserver.h"
#include "tools/servicepeer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

class tst_DemoService : public QObject
{
    Q_OBJECT

private slots:
    void nodesFile_data();
    void nodesFile();
    void pacPortBound();
    void describeNeverReadsPastTheMessage();
    void peerOnTheLink();
};

void tst_DemoService::nodesFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("nodes");      // how many, and the last: [*]tag/id country info
    QTest::addColumn<QStringList>("errors"); // what each error names, in order

    // Same id under another tag is a different node; same tag and id is not.
    QTest::newRow("every bad line, by number")
        << QByteArray("256 1 a\n1 5 日本\n2 5 日本\n1 5 美国\n\n1 65536 a\n1 2\nx 1 a\n")
        << "2, 2/5 日本" << QStringList{"line 1", "line 4", "line 6", "line 7", "line 8"};
    QTest::newRow("marked for a server")
        << QByteArray("*1 1 日本 a\n2 2 美国 b\n* 255 65535 香港 c d\n") << "3, *255/65535 香港 c d"
        << QStringList();
    QTest::newRow("empty file") << QByteArray("# none\n") << "0" << QStringList{"no nodes"};
    // Any more would not fit the front-end's receive buffer and stall its link;
    // one error says so, on the first line too many.
    QByteArray many;
    for (int i = 0; i < 326; ++i)
        many += "1 " + QByteArray::number(i) + " 日本 n\n";
    QTest::newRow("two nodes too many") << many << "324, 1/323 日本 n" << QStringList{"line 325"};
}

void tst_DemoService::nodesFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, nodes);
    QFETCH(QStringList, errors);

    const nodesfile::ParseResult result = nodesfile::parseNodes(contents);
    QString found = QString::number(result.nodes.size());
    if (!result.nodes.isEmpty()) {
        const NodeRecord &last = result.nodes.last();
        found += QStringLiteral(", %1%2/%3 %4")
                     .arg(QLatin1String(result.served.contains(result.nodes.size() - 1) ? "*" : ""))
                     .arg(last.tag)
                     .arg(control::nodeId(last))
                     .arg(nodeName(last));
    }
    QCOMPARE(found, nodes);
    QStringList named;
    for (const QString &error : result.errors)
        named.append(error.section(QLatin1Char(':'), 0, 0));
    QCOMPARE(named, errors);
}

void tst_DemoService::pacPortBound()
{
    // The PAC port of 65535 would wrap to 0. (What the PAC file says is proven
    // by the browser loading pages through it.)
    PacServer pac;
    QVERIFY(!pac.setProxyPort(65535));
    QVERIFY(!pac.isServing());
}

void tst_DemoService::describeNeverReadsPastTheMessage()
{
    QCOMPARE(describeMessage(QByteArray::fromHex("04000000030000000702"), {}),
             QStringLiteral("SelectNode, body too short (2 bytes): 07 02"));
    QCOMPARE(describeMessage(QByteArray::fromHex("000000"), {}),
             QStringLiteral("short message of 3 bytes: 00 00 00"));
}

void tst_DemoService::peerOnTheLink()
{
    QTcpServer frontEnd;
    QVERIFY(frontEnd.listen(QHostAddress::LocalHost, 0));
    const NodeRecord node = control::makeNodeRecord(7, 0x0102, "tokyo", "日本");
    ServicePeer peer;
    peer.setNodes(QVector<NodeRecord>(325, node));
    QCOMPARE(peer.nodes().size(), 324); // as many as one list carries
    peer.setNodes({node});
    peer.setReconnectInterval(10);
    peer.connectToFrontEnd(frontEnd.serverPort());
    QTRY_VERIFY(frontEnd.hasPendingConnections());
    QTcpSocket *link = frontEnd.nextPendingConnection();
    QByteArray bytes;
    connect(link, &QTcpSocket::readyRead, link, [&bytes, link] { bytes += link->readAll(); });

    // Only the code the front-end sends is answered.
    link->write(kRequestNodesFrame);
    link->write(frame::buildFrame(frame::DataFrame, QByteArray::fromHex("02000000 01000000 05")));
    QTRY_COMPARE(peer.received().size(), 2);
    // The heartbeat leaves after any answer, so once it is in, every answer is.
    const QByteArray heartbeat = QByteArray::fromHex("a5 01000000 01 00000000 a4");
    peer.sendHeartbeat();
    QTRY_VERIFY(bytes.endsWith(heartbeat));
    const QByteArray answer =
        QByteArray::fromHex("a5 4b000000 00 03000000 42000000 01 0100 07 0201") +
        QByteArray("tokyo").leftJustified(30, '\0') + QByteArray("日本").leftJustified(30, '\0') +
        QByteArray::fromHex("00000000 a4");
    QCOMPARE(bytes.toHex(' '), (answer + heartbeat).toHex(' '));

    // A header left over from the old link that, joined to the new link's first
    // frame, would swallow it whole.
    link->write(QByteArray::fromHex("a50f000000"));
    link->disconnectFromHost();
    QTRY_VERIFY(frontEnd.hasPendingConnections());
    link = frontEnd.nextPendingConnection();
    link->write(kRequestNodesFrame);
    QTRY_COMPARE(peer.received().size(), 3);
    QCOMPARE(peer.received().last(), kRequestNodes);

    // An owner that drops the link while a read is handled: the rest of that
    // read is not.
    peer.setAutoReconnect(false);
    connect(&peer, &ServicePeer::messageReceived, &peer, &ServicePeer::disconnectFromFrontEnd);
    QSignalSpy closed(link, &QTcpSocket::disconnected);
    link->write(kRequestNodesFrame.repeated(3));
    QVERIFY(closed.wait());
    QCOMPARE(peer.received().size(), 4);
    QVERIFY(!peer.isConnected());
}

QTEST_GUILESS_MAIN(tst_DemoService)
#include "tst_demoservice.moc"
