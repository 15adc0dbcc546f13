// The control messages that travel inside data frames: one header, five
// commands, and the 63-byte node record. Every layout is packed little-endian
// and fixed by the service at the far end of the link.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>
#include <QtEndian>
#include <QtGlobal>

namespace control {

enum Command : qint32
{
    SetListenPort = 0,
    RequestNodes = 2,
    NodeList = 3,
    SelectNode = 4,
    SwitchProxy = 6,
};

// The only code RequestNodes ever carries.
constexpr quint8 kRequestNodesCode = 3;
constexpr quint8 kSwitchStop = 0;
constexpr quint8 kSwitchStart = 1;
constexpr quint8 kNodeListReady = 1;

// Nothing larger than this can be taken from the receive queue, so the service
// keeps every message within it.
constexpr int kMaxMessageSize = 20480;
constexpr int kTextFieldSize = 30;

#pragma pack(push, 1)

struct MessageHeader
{
    qint32 command;
    qint32 bodyLength;
};

struct NodeRecord
{
    quint8 tag;
    quint8 id[2]; // little-endian; handed back to the service byte for byte
    char info[kTextFieldSize];
    char country[kTextFieldSize];
};

struct SetListenPortMessage
{
    MessageHeader header;
    qint32 port;
};

struct RequestNodesMessage
{
    MessageHeader header;
    quint8 code;
};

struct SelectNodeMessage
{
    MessageHeader header;
    quint8 tag;
    quint8 id[2];
};

struct SwitchProxyMessage
{
    MessageHeader header;
    quint8 action;
};

struct NodeListHead
{
    MessageHeader header;
    quint8 status;
    quint16 count;
};

#pragma pack(pop)

static_assert(sizeof(MessageHeader) == 8, "command and body length");
static_assert(sizeof(NodeRecord) == 63, "node record is 63 packed bytes");
static_assert(sizeof(SetListenPortMessage) == 12, "SetListenPort is 12 bytes");
static_assert(sizeof(RequestNodesMessage) == 9, "RequestNodes is 9 bytes");
static_assert(sizeof(SelectNodeMessage) == 11, "SelectNode is 11 bytes");
static_assert(sizeof(SwitchProxyMessage) == 9, "SwitchProxy is 9 bytes");
static_assert(sizeof(NodeListHead) == 11, "NodeList head is 11 bytes");

// 11 + 63 * 324 = 20423 fits the receive buffer; 325 records would not.
constexpr int kMaxNodeRecords =
    (kMaxMessageSize - int(sizeof(NodeListHead))) / int(sizeof(NodeRecord));
static_assert(kMaxNodeRecords == 324, "a NodeList carries at most 324 records");

SetListenPortMessage makeSetListenPort(qint32 port);
RequestNodesMessage makeRequestNodes(quint8 code = kRequestNodesCode);
SelectNodeMessage makeSelectNode(const NodeRecord &record);
SwitchProxyMessage makeSwitchProxy(quint8 action);

// The service's side: a NodeList with the given status and records.
QByteArray composeNodeList(quint8 status, const QVector<NodeRecord> &records);
NodeRecord makeNodeRecord(quint8 tag, quint16 id, const QByteArray &info,
                          const QByteArray &country);

// The command of a received message, or -1 when it is too short to carry one.
qint32 commandOf(const char *message, int length);

// The records of a received NodeList where they lie in the message. Only a list
// the window shows has any: command NodeList, status 1, a count above 0 and at
// least one whole record; never more than `count`, never past `length`.
struct NodeRecords
{
    const NodeRecord *data = nullptr;
    int count = 0;
};
NodeRecords acceptedNodeList(const char *message, int length);

// The records of acceptedNodeList copied into `records`; false when it has none.
bool readNodeList(const char *message, int length, QVector<NodeRecord> *records);

// The longest prefix of `text` that fits a 30-byte field with its terminating
// zero, cut before a character rather than inside one.
QByteArray fitField(const QByteArray &text);

// The text of a 30-byte field: UTF-8 up to its first zero byte, or all 30
// bytes when the field has none.
QString fieldText(const char (&field)[kTextFieldSize]);

quint16 nodeId(const NodeRecord &record);

} // namespace control

using control::NodeRecord;
