// The frame codec and the receive queue that cuts reads with it, called
// directly, so the chunking of the stream and the carry buffer between passes
// are exactly what the test says.
#include "link/controlframe.h"
#include "link/controlmessages.h"
#include "link/recvqueue.h"

#include <QtEndian>
#include <QtTest>

namespace {

const QByteArray kRequestNodes = QByteArray::fromHex("020000000100000003");
const QByteArray kRequestNodesFrame =
    QByteArray::fromHex("a50a0000000002000000010000000300000000a4");

QByteArrayList taken(RecvQueue &queue)
{
    QByteArrayList messages;
    queue.takeAll().forEach(
        [&](const char *message, int length) { messages << QByteArray(message, length); });
    return messages;
}

// Feeds the chunks as the link server feeds its reads, taking what arrived
// after each, as the main tick does.
QByteArrayList feed(const QByteArrayList &chunks, RecvQueue &queue)
{
    QByteArrayList delivered;
    for (const QByteArray &chunk : chunks) {
        // A read of its own that is gone after the call, as a socket's is, so
        // anything still pointing into it shows up under the sanitizer.
        queue.append(QByteArray(chunk.constData(), chunk.size()));
        delivered += taken(queue);
    }
    return delivered;
}

QByteArrayList nodeLists(int count, quint8 status, const QByteArray &name)
{
    QVector<NodeRecord> nodes;
    for (int i = 0; i < control::kMaxNodeRecords; ++i)
        nodes << control::makeNodeRecord(0, quint16(i), "", name);
    QByteArrayList lists;
    for (int i = 0; i < count; ++i)
        lists << control::composeNodeList(status, nodes);
    return lists;
}

} // namespace

class tst_ControlFrame : public QObject
{
    Q_OBJECT

private slots:
    void build_data();
    void build();
    void parse_data();
    void parse();
    void corruptLengthKeepsCarryBounded();
    void queueBoundHoldsUnderAFlood_data();
    void queueBoundHoldsUnderAFlood();
};

void tst_ControlFrame::build_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("RequestNodes") << int(frame::DataFrame) << kRequestNodes << kRequestNodesFrame;
    QTest::newRow("empty message")
        << int(frame::DataFrame) << QByteArray() << QByteArray::fromHex("a5010000000000000000a4");
    QTest::newRow("empty heartbeat") << int(frame::HeartbeatFrame) << QByteArray()
                                     << QByteArray::fromHex("a5010000000100000000a4");
    const QByteArray largest(2037, 'x');
    QTest::newRow("largest the front-end sends")
        << int(frame::DataFrame) << largest
        << QByteArray::fromHex("a5f607000000") + largest + QByteArray::fromHex("00000000a4");
}

void tst_ControlFrame::build()
{
    QFETCH(int, kind);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, expected);

    QCOMPARE(frame::buildFrame(frame::Kind(kind), payload), expected);

    QByteArray out(expected.size() + 4, '\x7f');
    QCOMPARE(int(frame::buildFrame(frame::Kind(kind), payload.constData(), quint32(payload.size()),
                                   out.data())),
             expected.size());
    QCOMPARE(out.left(expected.size()), expected);
    QCOMPARE(out.mid(expected.size()), QByteArray(4, '\x7f')); // nothing written past the frame
}

void tst_ControlFrame::parse_data()
{
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QByteArrayList>("delivered");
    QTest::addColumn<QByteArray>("carry");

    const QByteArray f1 = frame::buildFrame(frame::DataFrame, "first");
    const QByteArray f2 = frame::buildFrame(frame::DataFrame, "second");

    QTest::newRow("frame and the start of the next")
        << QByteArrayList{f1 + f2.left(3)} << QByteArrayList{"first"} << f2.left(3);
    QTest::newRow("the rest of the next arrives")
        << QByteArrayList{f1 + f2.left(3), f2.mid(3)} << QByteArrayList{"first", "second"}
        << QByteArray();
    for (int split = 1; split < kRequestNodesFrame.size(); ++split)
        QTest::addRow("split at byte %d", split)
            << QByteArrayList{kRequestNodesFrame.left(split), kRequestNodesFrame.mid(split)}
            << QByteArrayList{kRequestNodes} << QByteArray();
    const QByteArray f3 = frame::buildFrame(frame::DataFrame, "third");
    QTest::newRow("waiting frame completed, more in the same read")
        << QByteArrayList{f1.left(8), f1.mid(8) + f2 + f3.left(4), f3.mid(4)}
        << QByteArrayList{"first", "second", "third"} << QByteArray();
    QTest::newRow("split header completed, more in the same read")
        << QByteArrayList{f1.left(3), f1.mid(3) + f2} << QByteArrayList{"first", "second"}
        << QByteArray();
    QTest::newRow("rest of the read is itself incomplete")
        << QByteArrayList{f1.left(8), f1.mid(8) + f2.left(10)} << QByteArrayList{"first"}
        << f2.left(10);
    QTest::newRow("short header into an empty carry")
        << QByteArrayList{kRequestNodesFrame.left(5)} << QByteArrayList{}
        << kRequestNodesFrame.left(5);
    QTest::newRow("header whole, payload not yet")
        << QByteArrayList{kRequestNodesFrame.left(12)} << QByteArrayList{}
        << kRequestNodesFrame.left(12);
    const QByteArray beat = frame::buildFrame(frame::HeartbeatFrame, "");
    QTest::newRow("heartbeats in a row")
        << QByteArrayList{beat + beat + beat + f1} << QByteArrayList{"first"} << QByteArray();
    const QByteArray unknownKind = frame::buildFrame(frame::Kind(2), "fifth");
    QTest::newRow("a frame of another kind amid frames of its length")
        << QByteArrayList{f1 + f3 + unknownKind + f1} << QByteArrayList{"first", "third", "first"}
        << QByteArray();
    QTest::newRow("garbage without a start byte is dropped")
        << QByteArrayList{"no frame here"} << QByteArrayList{} << QByteArray();
    QTest::newRow("bad frame at the very end is dropped")
        << QByteArrayList{QByteArray::fromHex("a5010000000000000000a3")} << QByteArrayList{}
        << QByteArray();
    QTest::newRow("huge length does not hold back the next frame")
        << QByteArrayList{QByteArray::fromHex("a5ffffff7f00") + f1} << QByteArrayList{"first"}
        << QByteArray();
    QByteArray aboveBound = QByteArray::fromHex("a50000000000");
    qToLittleEndian<quint32>(frame::kMaxIncomingLength + 1, aboveBound.data() + 1);
    QTest::newRow("length just above the bound")
        << QByteArrayList{aboveBound + f1} << QByteArrayList{"first"} << QByteArray();
    // A false start byte can only be told apart once its claimed frame has
    // arrived; the frame behind it is then found, late but whole.
    QTest::newRow("stray start byte before a frame")
        << QByteArrayList{"\xa5" + f1, QByteArray(3000, '\0')} << QByteArrayList{"first"}
        << QByteArray();
}

void tst_ControlFrame::parse()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QByteArrayList, delivered);
    QFETCH(QByteArray, carry);

    RecvQueue queue;
    QCOMPARE(feed(chunks, queue), delivered);
    QCOMPARE(queue.carry(), carry);
}

void tst_ControlFrame::corruptLengthKeepsCarryBounded()
{
    // Each start byte claims the largest length still taken as a frame, so the
    // parser must wait for all of it before it can know the frame is false.
    // The good frame behind them is found once the stream has gone on past the
    // last false claim.
    QByteArray claim = QByteArray::fromHex("a50000000000");
    qToLittleEndian<quint32>(frame::kMaxIncomingLength, claim.data() + 1);
    QByteArray stream;
    while (stream.size() < 100000)
        stream += claim;
    stream += kRequestNodesFrame + QByteArray(frame::kMaxCarrySize, '\0');

    RecvQueue queue;
    QByteArrayList delivered;
    for (int at = 0; at < stream.size(); at += 997) {
        delivered += feed({stream.mid(at, 997)}, queue);
        QVERIFY2(queue.carry().size() <= frame::kMaxCarrySize,
                 qPrintable(QString::number(queue.carry().size())));
    }
    QCOMPARE(delivered, QByteArrayList{kRequestNodes});
    QVERIFY(queue.carry().isEmpty());
}

void tst_ControlFrame::queueBoundHoldsUnderAFlood_data()
{
    QTest::addColumn<QByteArrayList>("messages");
    QTest::addColumn<QByteArrayList>("survivors");

    const QByteArray shown = nodeLists(1, 1, "shown").first();
    const QByteArray newest = nodeLists(1, 1, "newest").first();
    QByteArrayList junk;
    for (int i = 0; i < 100000; ++i)
        junk << QByteArray::number(i);
    QTest::newRow("other messages go before a node list")
        << (QByteArrayList{shown} + junk) << QByteArrayList{shown, junk.last()};
    QTest::newRow("node lists the window ignores go before the one it shows")
        << (QByteArrayList{shown} + nodeLists(100, 0, "ignored")) << QByteArrayList{shown};
    QTest::newRow("the newest node list stays")
        << (nodeLists(100, 1, "older") << newest) << QByteArrayList{newest};
}

void tst_ControlFrame::queueBoundHoldsUnderAFlood()
{
    QFETCH(QByteArrayList, messages);
    QFETCH(QByteArrayList, survivors);

    QByteArray stream;
    for (const QByteArray &message : qAsConst(messages))
        stream += frame::buildFrame(frame::DataFrame, message);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^recv queue beyond"));
    RecvQueue queue;
    for (int at = 0; at < stream.size(); at += RecvQueue::kReadSize) {
        queue.append(stream.mid(at, RecvQueue::kReadSize));
        QVERIFY2(queue.heldBytes() <= RecvQueue::kMaxHeldBytes,
                 qPrintable(QString::number(queue.heldBytes())));
    }
    const QByteArrayList kept = taken(queue);
    for (const QByteArray &survivor : qAsConst(survivors))
        QVERIFY(kept.contains(survivor));
    QVERIFY(kept.size() < messages.size());
}

QTEST_GUILESS_MAIN(tst_ControlFrame)
#include "tst_controlframe.moc"
