#include "link/controlmessages.h"
#include "testsupport.h"

#include <QtTest>
#include <cstring>

namespace {

QByteArray recordBytes(const NodeRecord &record)
{
    return bytesOf(record);
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
        message += recordBytes(
            control::makeNodeRecord(quint8(i), quint16(1000 + i), "info", QByteArray::number(i)));
    return message;
}

} // namespace

class tst_ControlMessages : public QObject
{
    Q_OBJECT

private slots:
    void composedBytes_data();
    void composedBytes();
    void readNodeList_data();
    void readNodeList();
    void recordTexts_data();
    void recordTexts();
    void composedTextsKeepTheirZero();
};

void tst_ControlMessages::composedBytes_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("SetListenPort 1081") << bytesOf(control::makeSetListenPort(1081))
                                        << QByteArray::fromHex("000000000400000039040000");
    QTest::newRow("RequestNodes") << bytesOf(control::makeRequestNodes())
                                  << QByteArray::fromHex("020000000100000003");
    QTest::newRow("SwitchProxy start") << bytesOf(control::makeSwitchProxy(control::kSwitchStart))
                                       << QByteArray::fromHex("060000000100000001");
    QTest::newRow("SwitchProxy stop") << bytesOf(control::makeSwitchProxy(control::kSwitchStop))
                                      << QByteArray::fromHex("060000000100000000");

    NodeRecord picked;
    std::memcpy(&picked, QByteArray::fromHex("070201").append(60, 'x').constData(), sizeof(picked));
    QTest::newRow("SelectNode hands tag and id back")
        << bytesOf(control::makeSelectNode(picked))
        << QByteArray::fromHex("0400000003000000070201");

    const NodeRecord one = control::makeNodeRecord(7, 0x0102, "info", "US");
    QTest::newRow("NodeList of one record")
        << control::composeNodeList(1, {one})
        << QByteArray::fromHex("0300000042000000010100") + recordBytes(one);
}

void tst_ControlMessages::composedBytes()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, expected);
    QCOMPARE(message.toHex(' '), expected.toHex(' '));
}

void tst_ControlMessages::readNodeList_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("records");

    QTest::newRow("one record") << nodeList(1, 1, 1) << true << 1;
    QTest::newRow("status 0 is ignored") << nodeList(0, 1, 1) << false << 0;
    QTest::newRow("count 0 is ignored") << nodeList(1, 0, 1) << false << 0;
    QTest::newRow("another command") << nodeList(1, 1, 1, control::SelectNode) << false << 0;
    QTest::newRow("count beyond the records present") << nodeList(1, 5, 2) << true << 2;
    QTest::newRow("a partial record is not read")
        << nodeList(1, 3, 3).left(11 + 63 * 2 + 40) << true << 2;
    QTest::newRow("records beyond count are not read") << nodeList(1, 1, 3) << true << 1;
}

void tst_ControlMessages::readNodeList()
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
    QCOMPARE(list.size(), records);
    for (int i = 0; i < list.size(); ++i) {
        QCOMPARE(int(list[i].tag), i);
        QCOMPARE(int(control::nodeId(list[i])), 1000 + i);
        QCOMPARE(control::fieldText(list[i].country), QString::number(i));
    }
}

void tst_ControlMessages::recordTexts_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("text");

    QTest::newRow("UTF-8") << QByteArray("香港") << "香港";
    // The next field follows right behind; it must not leak into this one.
    QTest::newRow("no zero within the field") << QByteArray(30, 'a') << QString(30, 'a');
}

void tst_ControlMessages::recordTexts()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, text);

    NodeRecord record = control::makeNodeRecord(1, 2, QByteArray(), "JP");
    std::memcpy(record.info, field.constData(), size_t(field.size()));
    QCOMPARE(control::fieldText(record.info), text);
    QCOMPARE(control::fieldText(record.country), QStringLiteral("JP"));
}

void tst_ControlMessages::composedTextsKeepTheirZero()
{
    // Composing keeps each text's terminating zero inside its field, and cuts
    // between characters, not inside one.
    const QString tenWide(10, QChar(0x56FD)); // 30 bytes of UTF-8
    const NodeRecord composed =
        control::makeNodeRecord(1, 2, QByteArray(40, 'a'), tenWide.toUtf8());
    QCOMPARE(control::fieldText(composed.info), QString(29, 'a'));
    QCOMPARE(control::fieldText(composed.country), tenWide.left(9));
}

QTEST_GUILESS_MAIN(tst_ControlMessages)
#include "tst_controlmessages.moc"
