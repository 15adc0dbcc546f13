// The control link: what goes on the wire (the frame codec, the receive queue
// that cuts reads with it, called directly so the chunking of the stream and
// the carry buffer between passes are exactly what the test says, and the
// control messages), then the link server over real loopback TCP, seen from
// the service's side of the socket and through the calls the main window makes.
#include "link/controlframe.h"
#include "link/controlmessages.h"
#include "link/recvqueue.h"
#include "link/tcpserver.h"
#include "testsupport.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>
#include <cstring>

namespace {

QByteArrayList taken(RecvQueue &queue)
{
    QByteArrayList messages;
    queue.takeAll().forEach(
        [&](const char *message, int length) { messages << QByteArray(message, length); });
    return messages;
}

// A NodeList head claiming `count` records, followed by `present` records.
QByteArray nodeList(quint8 status, int count, int present, qint32 command = control::NodeList)
{
    QByteArray message(11, '\0');
    qToLittleEndian<qint32>(command, message.data());
    qToLittleEndian<qint32>(3 + 63 * count, message.data() + 4);
    message[8] = char(status);
    qToLittleEndian<quint16>(quint16(count), message.data() + 9);
    for (int i = 0; i < present; ++i)
        message += bytesOf(
            control::makeNodeRecord(quint8(i), quint16(1000 + i), "info", QByteArray::number(i)));
    return message;
}

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

class tst_Link : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QByteArrayList>("delivered");
        QTest::addColumn<QByteArray>("carry");

        const QByteArray f1 = dataFrame("first");
        const QByteArray f2 = dataFrame("second");

        QTest::newRow("frame and the start of the next")
            << QByteArrayList{f1 + f2.left(3)} << QByteArrayList{"first"} << f2.left(3);
        for (int split = 1; split < kRequestNodesFrame.size(); ++split)
            QTest::addRow("split at byte %d", split)
                << QByteArrayList{kRequestNodesFrame.left(split), kRequestNodesFrame.mid(split)}
                << QByteArrayList{kRequestNodes} << QByteArray();
        const QByteArray f3 = dataFrame("third");
        // A header split in the carry, completed by a read that goes on: once its
        // frame is done, a payload that holds a whole frame of its own is behind
        // the parser, never looked at again.
        const QByteArray nested = dataFrame(f2);
        QTest::newRow("frame inside a payload, completed from the carry")
            << QByteArrayList{nested.left(3), nested.mid(3) + f3} << QByteArrayList{f2, "third"}
            << QByteArray();
        const QByteArray beat = frame::buildFrame(frame::HeartbeatFrame, "");
        QTest::newRow("heartbeats in a row")
            << QByteArrayList{beat + beat + beat + f1} << QByteArrayList{"first"} << QByteArray();
        const QByteArray unknownKind = frame::buildFrame(frame::Kind(2), "fifth");
        QTest::newRow("a frame of another kind amid frames of its length")
            << QByteArrayList{f1 + f3 + unknownKind + f1}
            << QByteArrayList{"first", "third", "first"} << QByteArray();
        QByteArray badTrailer = f1;
        badTrailer[badTrailer.size() - 3] = 1;
        QTest::newRow("a frame with a non-zero trailer is dropped")
            << QByteArrayList{badTrailer + f2} << QByteArrayList{"second"} << QByteArray();
        QTest::newRow("bad frame at the very end is dropped")
            << QByteArrayList{QByteArray::fromHex("a5010000000000000000a3")} << QByteArrayList{}
            << QByteArray();
        // The largest message a receiver takes, and one byte more, which must not
        // hold back the frame behind it.
        const QByteArray largest(20480, 'x');
        QTest::newRow("a 20480-byte message, the largest taken")
            << QByteArrayList{dataFrame(largest) + f1} << QByteArrayList{largest, "first"}
            << QByteArray();
        QTest::newRow("a 20481-byte message is not")
            << QByteArrayList{dataFrame(largest + 'x') + f1} << QByteArrayList{"first"}
            << QByteArray();
        // A false start byte can only be told apart once its claimed frame has
        // arrived; the frame behind it is then found, late but whole.
        QTest::newRow("stray start byte before a frame")
            << QByteArrayList{"\xa5" + f1, QByteArray(3000, '\0')} << QByteArrayList{"first"}
            << QByteArray();
    }

    void parse()
    {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QByteArrayList, delivered);
        QFETCH(QByteArray, carry);

        // The chunks go in as the link server feeds its reads, and what arrived
        // is taken after each, as the main tick does. Each a read of its own
        // that is gone after the call, as a socket's is, so anything still
        // pointing into it shows up under the sanitizer.
        RecvQueue queue;
        QByteArrayList messages;
        for (const QByteArray &chunk : chunks) {
            queue.append(QByteArray(chunk.constData(), chunk.size()));
            messages += taken(queue);
        }
        QCOMPARE(messages, delivered);
        QCOMPARE(queue.carry(), carry);
    }

    void queueBoundHoldsUnderAFlood_data()
    {
        QTest::addColumn<QByteArrayList>("messages");
        QTest::addColumn<QByteArrayList>("survivors");

        // Lists as long as they come (324 records).
        const QByteArray shown = nodeList(1, 324, 324);
        QByteArrayList junk;
        for (int i = 0; i < 100000; ++i)
            junk << QByteArray::number(i);
        QTest::newRow("other messages go before a node list")
            << (QByteArrayList{shown} + junk) << QByteArrayList{shown, junk.last()};
        QTest::newRow("node lists the window ignores go before the one it shows")
            << (QByteArrayList{shown} + QVector<QByteArray>(100, nodeList(0, 324, 324)).toList())
            << QByteArrayList{shown};
    }

    void queueBoundHoldsUnderAFlood()
    {
        QFETCH(QByteArrayList, messages);
        QFETCH(QByteArrayList, survivors);

        QByteArray stream;
        for (const QByteArray &message : qAsConst(messages))
            stream += dataFrame(message);
        RecvQueue queue;
        for (int at = 0; at < stream.size(); at += RecvQueue::kReadSize) {
            queue.append(stream.mid(at, RecvQueue::kReadSize));
            // Eight reads of 64 KiB, whatever the code's own constant says.
            QVERIFY2(queue.heldBytes() <= 8 * 64 * 1024,
                     qPrintable(QString::number(queue.heldBytes())));
        }
        const QByteArrayList kept = taken(queue);
        for (const QByteArray &survivor : qAsConst(survivors))
            QVERIFY(kept.contains(survivor));
        QVERIFY(kept.size() < messages.size());
    }

    void composedBytes()
    {
        QCOMPARE(bytesOf(control::makeSetListenPort(1081)).toHex(' '),
                 QByteArray("00 00 00 00 04 00 00 00 39 04 00 00"));
        // SelectNode hands the picked record's tag and id back.
        QCOMPARE(
            bytesOf(control::makeSelectNode(control::makeNodeRecord(7, 0x0102, "", ""))).toHex(' '),
            QByteArray("04 00 00 00 03 00 00 00 07 02 01"));
        // A field with no zero in it ends at the field: the next one follows right
        // behind and must not leak into it.
        NodeRecord record = control::makeNodeRecord(1, 2, QByteArray(), "JP");
        std::memset(record.info, 'a', sizeof(record.info));
        QCOMPARE(control::fieldText(record.info), QString(30, 'a'));
        QCOMPARE(control::fieldText(record.country), QStringLiteral("JP"));
        // Composing keeps each text's terminating zero inside its field, and cuts
        // between characters, not inside one.
        const QString tenWide(10, QChar(0x56FD)); // 30 bytes of UTF-8
        const NodeRecord composed =
            control::makeNodeRecord(1, 2, QByteArray(40, 'a'), tenWide.toUtf8());
        QCOMPARE(control::fieldText(composed.info), QString(29, 'a'));
        QCOMPARE(control::fieldText(composed.country), tenWide.left(9));
    }

    void readNodeList_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("records");

        QTest::newRow("another command") << nodeList(1, 1, 1, control::SelectNode) << false << 0;
        // A count beyond the records present: each byte the last may lack.
        for (int missing = 1; missing < 63; ++missing)
            QTest::addRow("last record %d bytes short", missing)
                << nodeList(1, 3, 3).chopped(missing) << true << 2;
        QTest::newRow("records beyond count are not read") << nodeList(1, 1, 3) << true << 1;
        QTest::newRow("324 records, 20423 bytes: the most a message holds")
            << nodeList(1, 324, 324) << true << 324;
    }

    void readNodeList()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, accepted);
        QFETCH(int, records);

        // Only the message's own bytes are handed over, so any read past them shows
        // up under the address sanitizer.
        QScopedArrayPointer<char> exact(new char[size_t(message.size())]);
        std::memcpy(exact.data(), message.constData(), size_t(message.size()));

        QVector<NodeRecord> list;
        QCOMPARE(control::readNodeList(exact.data(), message.size(), &list), accepted);
        // The records as they lie behind the head, each whole, none beyond.
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(list.constData()), list.size() * 63),
                 message.mid(11, records * 63));
    }

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

QTEST_GUILESS_MAIN(tst_Link)
#include "tst_link.moc"
