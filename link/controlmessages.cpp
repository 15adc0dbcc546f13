#include "link/controlmessages.h"

#include <algorithm>
#include <cstring>

namespace control {

namespace {

MessageHeader header(Command command, int bodySize)
{
    MessageHeader h;
    h.command = qToLittleEndian<qint32>(command);
    h.bodyLength = qToLittleEndian<qint32>(bodySize);
    return h;
}

void copyText(char (&field)[kTextFieldSize], const QByteArray &text)
{
    const QByteArray fitted = fitField(text);
    std::memset(field, 0, kTextFieldSize);
    std::memcpy(field, fitted.constData(), size_t(fitted.size()));
}

} // namespace

SetListenPortMessage makeSetListenPort(qint32 port)
{
    SetListenPortMessage m;
    m.header = header(SetListenPort, sizeof(m.port));
    m.port = qToLittleEndian<qint32>(port);
    return m;
}

RequestNodesMessage makeRequestNodes(quint8 code)
{
    RequestNodesMessage m;
    m.header = header(RequestNodes, sizeof(m.code));
    m.code = code;
    return m;
}

SelectNodeMessage makeSelectNode(const NodeRecord &record)
{
    SelectNodeMessage m;
    m.header = header(SelectNode, sizeof(m.tag) + sizeof(m.id));
    m.tag = record.tag;
    std::memcpy(m.id, record.id, sizeof(m.id));
    return m;
}

SwitchProxyMessage makeSwitchProxy(quint8 action)
{
    SwitchProxyMessage m;
    m.header = header(SwitchProxy, sizeof(m.action));
    m.action = action;
    return m;
}

QByteArray composeNodeList(quint8 status, const QVector<NodeRecord> &records)
{
    // `count` is 16 bits wide; records beyond it could not be announced.
    const int count = std::min(records.size(), 0xFFFF);
    const int recordBytes = count * int(sizeof(NodeRecord));
    const int bodySize = int(sizeof(NodeListHead) - sizeof(MessageHeader)) + recordBytes;

    NodeListHead head;
    head.header = header(NodeList, bodySize);
    head.status = status;
    head.count = qToLittleEndian<quint16>(quint16(count));

    QByteArray message;
    message.reserve(int(sizeof(head)) + recordBytes);
    message.append(reinterpret_cast<const char *>(&head), sizeof(head));
    if (count > 0)
        message.append(reinterpret_cast<const char *>(records.constData()), recordBytes);
    return message;
}

NodeRecord makeNodeRecord(quint8 tag, quint16 id, const QByteArray &info, const QByteArray &country)
{
    NodeRecord record;
    record.tag = tag;
    qToLittleEndian<quint16>(id, record.id);
    copyText(record.info, info);
    copyText(record.country, country);
    return record;
}

qint32 commandOf(const char *message, int length)
{
    if (!message || length < int(sizeof(qint32)))
        return -1;
    return qFromLittleEndian<qint32>(message);
}

NodeRecords acceptedNodeList(const char *message, int length)
{
    if (!message || length < int(sizeof(NodeListHead)))
        return {};
    NodeListHead head;
    std::memcpy(&head, message, sizeof(head));
    if (qFromLittleEndian<qint32>(head.header.command) != NodeList)
        return {};
    if (head.status != kNodeListReady)
        return {};
    const int count = qFromLittleEndian<quint16>(head.count);
    // A count larger than the message holds yields only the whole records that
    // are there; none at all would announce an empty list, which is not allowed.
    const int present = (length - int(sizeof(NodeListHead))) / int(sizeof(NodeRecord));
    // Packed to one byte, so a record may lie at any address.
    static_assert(alignof(NodeRecord) == 1, "records are read where they lie");
    return {reinterpret_cast<const NodeRecord *>(message + sizeof(NodeListHead)),
            std::min(count, present)};
}

bool readNodeList(const char *message, int length, QVector<NodeRecord> *records)
{
    const NodeRecords list = acceptedNodeList(message, length);
    if (list.count == 0)
        return false;
    if (records) {
        records->resize(list.count);
        std::memcpy(records->data(), list.data, size_t(list.count) * sizeof(NodeRecord));
    }
    return true;
}

QByteArray fitField(const QByteArray &text)
{
    // The zero must stay inside the field. Cutting inside a UTF-8 sequence
    // would leave the service a broken last character, so the cut moves back
    // to the start of that character.
    int n = kTextFieldSize - 1;
    if (text.size() <= n)
        return text;
    while (n > 0 && (uchar(text.at(n)) & 0xC0) == 0x80)
        --n;
    return text.left(n);
}

QString fieldText(const char (&field)[kTextFieldSize])
{
    return QString::fromUtf8(field, int(qstrnlen(field, kTextFieldSize)));
}

quint16 nodeId(const NodeRecord &record)
{
    return qFromLittleEndian<quint16>(record.id);
}

} // namespace control
