// The link server over real loopback TCP, seen from the service's side of the
// socket and through the calls the main window makes.
#include "link/controlframe.h"
#include "link/tcpserver.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QtTest>

namespace {

const QByteArray kSentinel = "end of stream";

QByteArray dataFrame(const QByteArray &message)
{
    return frame::buildFrame(frame::DataFrame, message);
}

// The service's end of the link.
struct Peer
{
    explicit Peer(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    QTcpSocket socket;
    QByteArray received;
};

// Takes every message the server holds; true once the last one is `last`.
bool takeUntil(TcpServer &server, QByteArrayList &taken, const QByteArray &last)
{
    static char buffer[20480];
    int n;
    while ((n = server.readData(buffer, sizeof(buffer))) >= 0)
        taken << QByteArray(buffer, n);
    return !taken.isEmpty() && taken.last() == last;
}

} // namespace

class tst_TcpServer : public QObject
{
    Q_OBJECT

private slots:
    void linkLifecycle()
    {
        TcpServer server;
        server.startServer(true, 0);
        const quint16 port = server.serverPort();

        // Nothing is held back for a service that has not connected yet: the
        // first one hears only what is sent to it.
        server.sendData(kRequestNodes.constData(), quint32(kRequestNodes.size()));

        Peer first(port);
        QVERIFY(first.socket.waitForConnected(5000));
        QTRY_VERIFY(server.isConnected());

        Peer second(port);
        QVERIFY(second.socket.waitForConnected(5000));
        QTRY_COMPARE(second.socket.state(), QAbstractSocket::UnconnectedState);
        first.socket.write(dataFrame("still here"));
        // A message longer than the buffer offered stays first, for a larger one.
        char small[9];
        QTRY_COMPARE(server.queuedMessages(), 1);
        QCOMPARE(server.readData(small, sizeof(small)), -1);
        QByteArrayList taken;
        QTRY_VERIFY(takeUntil(server, taken, "still here"));
        // Each message a frame of its own; none too long for one frame.
        const QByteArray largest(2037, 'x');
        QVERIFY(server.sendData(kRequestNodes.constData(), quint32(kRequestNodes.size())));
        QVERIFY(!server.sendData(QByteArray(2038, 'x').constData(), 2038));
        QVERIFY(server.sendData(largest.constData(), 2037));
        QTRY_COMPARE(first.received, kRequestNodesFrame + dataFrame(largest));

        // Leave a message untaken, half a frame in the carry buffer and a full send
        // queue; none of it may reach the next service.
        const QByteArray half = dataFrame("half of a frame");
        first.socket.write(dataFrame("untaken") + half.left(10));
        QTRY_COMPARE(server.queuedMessages(), 1);
        for (int i = 0; i < 5000; ++i)
            server.sendData("old", 3);

        first.socket.abort();
        QTRY_VERIFY(!server.isConnected());

        Peer next(port);
        QVERIFY(next.socket.waitForConnected(5000));
        QTRY_VERIFY(server.isConnected());
        next.socket.write(half.mid(10) + dataFrame(kSentinel));
        taken.clear();
        QTRY_VERIFY(takeUntil(server, taken, kSentinel));
        QCOMPARE(taken, QByteArrayList{kSentinel});

        // The send queue holds 5000 frames; one tick writes 20 of them, and in the
        // end every one goes out, in order.
        QByteArray expected;
        for (int i = 0; i < 5000; ++i) {
            const QByteArray message = QByteArray::number(i);
            QVERIFY(server.sendData(message.constData(), quint32(message.size())));
            expected += dataFrame(message);
        }
        QVERIFY(!server.sendData("5000", 4));
        // The event loop runs until the pump has changed the queue: one tick.
        const QDeadlineTimer deadline(5000);
        while (server.queuedFrames() == 5000 && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCOMPARE(server.queuedFrames(), 4980);
        QTRY_COMPARE_WITH_TIMEOUT(next.received, expected, 60000);
    }

    void isLoopbackPeer_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("loopback");

        QTest::newRow("rest of 127/8") << "127.255.255.254" << true;
        QTest::newRow("IPv6 loopback") << "::1" << true;
        QTest::newRow("IPv4-mapped 127/8") << "::ffff:127.8.9.10" << true;
        QTest::newRow("just above 127/8") << "128.0.0.1" << false;
        QTest::newRow("127 in the last byte") << "192.168.1.127" << false;
        QTest::newRow("IPv4-mapped private") << "::ffff:10.0.0.1" << false;
        QTest::newRow("IPv4-compatible 127") << "::127.0.0.1" << false;
        QTest::newRow("next to ::1") << "::2" << false;
    }

    void isLoopbackPeer()
    {
        QFETCH(QString, address);
        QFETCH(bool, loopback);
        QCOMPARE(TcpServer::isLoopbackPeer(QHostAddress(address)), loopback);
    }
};

QTEST_GUILESS_MAIN(tst_TcpServer)
#include "tst_tcpserver.moc"
