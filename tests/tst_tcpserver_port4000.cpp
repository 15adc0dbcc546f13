// The link on the port the service actually dials. Runs alone: the port is
// shared with every other test that binds it.
#include "link/controlframe.h"
#include "link/controlmessages.h"
#include "link/tcpserver.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QtTest>

class tst_TcpServerPort4000 : public QObject
{
    Q_OBJECT

private slots:
    void exchangeOnPort4000();
};

void tst_TcpServerPort4000::exchangeOnPort4000()
{
    TcpServer server;
    server.startServer(true, 4000);
    QVERIFY2(server.serverPort() == 4000, "port 4000 is taken by another process");

    QTcpSocket service;
    QByteArray received;
    connect(&service, &QTcpSocket::readyRead, [&] { received += service.readAll(); });
    service.connectToHost(QHostAddress::LocalHost, 4000);
    QVERIFY(service.waitForConnected(5000));
    QTRY_VERIFY(server.isConnected());

    const auto port = control::makeSetListenPort(1081);
    server.sendData(reinterpret_cast<const char *>(&port), sizeof(port));
    QTRY_COMPARE(received, QByteArray::fromHex("a50d00000000000000000400000039040000"
                                               "00000000a4"));

    const NodeRecord node = control::makeNodeRecord(7, 0x0102, "info", "日本");
    service.write(frame::buildFrame(frame::DataFrame, control::composeNodeList(1, {node})));
    QByteArray buffer(control::kMaxMessageSize, '\0');
    int length = -1;
    // QTRY_VERIFY evaluates its condition more than once; keep what was taken.
    const auto take = [&] {
        if (length < 0)
            length = server.readData(buffer.data(), quint32(buffer.size()));
        return length >= 0;
    };
    QTRY_VERIFY(take());
    QCOMPARE(length, 74);

    QVector<NodeRecord> nodes;
    QVERIFY(control::readNodeList(buffer.constData(), length, &nodes));
    QCOMPARE(nodes.size(), 1);
    QCOMPARE(control::fieldText(nodes[0].country), QStringLiteral("日本"));
}

QTEST_GUILESS_MAIN(tst_TcpServerPort4000)
#include "tst_tcpserver_port4000.moc"
