#include "servicepeer.h"

#include "demo/nodesfile.h"
#include "link/controlframe.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

namespace {

constexpr int kHeaderSize = int(sizeof(control::MessageHeader));
// Enough of an unknown or malformed message to recognise it in a log line.
constexpr int kShownBytes = 16;

QString hexOf(const QByteArray &bytes)
{
    QString text = QString::fromLatin1(bytes.left(kShownBytes).toHex(' '));
    if (bytes.size() > kShownBytes)
        text += QStringLiteral(" ...");
    return text;
}

QString selectedNode(quint8 tag, quint16 id, const QVector<NodeRecord> &nodes)
{
    for (const NodeRecord &node : nodes) {
        if (node.tag == tag && control::nodeId(node) == id)
            return QStringLiteral(" (%1)").arg(nodeName(node));
    }
    return QStringLiteral(" (not in the node list)");
}

} // namespace

QString nodeName(const NodeRecord &node)
{
    const QString info = control::fieldText(node.info);
    const QString country = control::fieldText(node.country);
    return info.isEmpty() ? country : country + QLatin1Char(' ') + info;
}

QString describeMessage(const QByteArray &message, const QVector<NodeRecord> &nodes)
{
    if (message.size() < kHeaderSize)
        return QStringLiteral("short message of %1 bytes: %2")
            .arg(message.size())
            .arg(hexOf(message));

    const auto *bytes = reinterpret_cast<const uchar *>(message.constData());
    const qint32 command = qFromLittleEndian<qint32>(bytes);
    const qint32 declared = qFromLittleEndian<qint32>(bytes + 4);
    const QByteArray body = message.mid(kHeaderSize);
    const auto *b = reinterpret_cast<const uchar *>(body.constData());

    // The line always decodes the bytes that are there; a bodyLength that
    // disagrees with them is worth seeing, since the receiver ignores it.
    const QString mismatch =
        declared == body.size()
            ? QString()
            : QStringLiteral(" [bodyLength=%1, %2 body bytes]").arg(declared).arg(body.size());

    auto tooShort = [&](const char *name) {
        return QStringLiteral("%1, body too short (%2 bytes): %3")
            .arg(QLatin1String(name))
            .arg(body.size())
            .arg(hexOf(body));
    };

    switch (command) {
    case control::SetListenPort:
        if (body.size() < 4)
            return tooShort("SetListenPort");
        return QStringLiteral("SetListenPort port=%1").arg(qFromLittleEndian<qint32>(b)) + mismatch;
    case control::RequestNodes:
        if (body.size() < 1)
            return tooShort("RequestNodes");
        return QStringLiteral("RequestNodes code=%1").arg(b[0]) +
               (b[0] == control::kRequestNodesCode ? QString()
                                                   : QStringLiteral(" (not answered)")) +
               mismatch;
    case control::NodeList:
        if (body.size() < 3)
            return tooShort("NodeList");
        return QStringLiteral("NodeList status=%1 count=%2")
                   .arg(b[0])
                   .arg(qFromLittleEndian<quint16>(b + 1)) +
               mismatch;
    case control::SelectNode: {
        if (body.size() < 3)
            return tooShort("SelectNode");
        const quint8 tag = b[0];
        const quint16 id = qFromLittleEndian<quint16>(b + 1);
        return QStringLiteral("SelectNode tag=%1 id=%2").arg(tag).arg(id) +
               (nodes.isEmpty() ? QString() : selectedNode(tag, id, nodes)) + mismatch;
    }
    case control::SwitchProxy: {
        if (body.size() < 1)
            return tooShort("SwitchProxy");
        const quint8 action = b[0];
        const char *meaning = action == control::kSwitchStart  ? "start"
                              : action == control::kSwitchStop ? "stop"
                                                               : "unknown";
        return QStringLiteral("SwitchProxy action=%1 (%2)")
                   .arg(action)
                   .arg(QLatin1String(meaning)) +
               mismatch;
    }
    default:
        return QStringLiteral("unknown command %1, %2 body bytes: %3")
            .arg(command)
            .arg(body.size())
            .arg(hexOf(body));
    }
}

ServicePeer::ServicePeer(QObject *parent)
    : QObject(parent), m_socket(new QTcpSocket(this)), m_reconnectTimer(new QTimer(this)),
      m_heartbeatTimer(new QTimer(this)), m_nodes(nodesfile::sampleNodes())
{
    m_reconnectTimer->setSingleShot(true);
    m_reconnectTimer->setInterval(kDefaultReconnectMs);
    connect(m_reconnectTimer, &QTimer::timeout, this, &ServicePeer::attemptConnection);
    connect(m_heartbeatTimer, &QTimer::timeout, this, &ServicePeer::sendHeartbeat);
    connect(m_socket, &QTcpSocket::stateChanged, this, &ServicePeer::onStateChanged);
    connect(m_socket, &QTcpSocket::readyRead, this, &ServicePeer::onReadyRead);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] {
        if (!m_linkUp)
            emit connectFailed(m_socket->errorString());
    });
}

ServicePeer::~ServicePeer()
{
    // No signals into a half-destroyed owner while the socket goes down.
    m_socket->disconnect(this);
    m_socket->abort();
}

void ServicePeer::connectToFrontEnd(quint16 port)
{
    m_port = port;
    m_wanted = true;
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    m_reconnectTimer->stop();
    attemptConnection();
}

void ServicePeer::setAutoReconnect(bool on)
{
    m_autoReconnect = on;
    if (!on)
        m_reconnectTimer->stop();
    else if (m_socket->state() == QAbstractSocket::UnconnectedState)
        scheduleReconnect();
}

void ServicePeer::disconnectFromFrontEnd()
{
    m_wanted = false;
    m_reconnectTimer->stop();
    // A graceful close still delivers what was written just before.
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->disconnectFromHost();
    else
        m_socket->abort();
}

bool ServicePeer::isConnected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

quint16 ServicePeer::port() const
{
    return m_port;
}

void ServicePeer::sendMessage(const QByteArray &message)
{
    if (isConnected())
        m_socket->write(frame::buildFrame(frame::DataFrame, message));
}

void ServicePeer::sendRaw(const QByteArray &bytes)
{
    if (isConnected())
        m_socket->write(bytes);
}

void ServicePeer::sendHeartbeat()
{
    if (isConnected())
        m_socket->write(frame::buildFrame(frame::HeartbeatFrame, QByteArray()));
}

void ServicePeer::setHeartbeatInterval(int msec)
{
    if (msec <= 0) {
        m_heartbeatTimer->stop();
        m_heartbeatTimer->setInterval(0);
        return;
    }
    m_heartbeatTimer->setInterval(msec);
    if (isConnected())
        m_heartbeatTimer->start();
}

void ServicePeer::setNodes(const QVector<NodeRecord> &nodes)
{
    m_nodes = nodes.mid(0, control::kMaxNodeRecords);
}

QVector<NodeRecord> ServicePeer::nodes() const
{
    return m_nodes;
}

void ServicePeer::setAutoAnswer(bool on)
{
    m_autoAnswer = on;
}

QList<QByteArray> ServicePeer::received() const
{
    return m_received;
}

void ServicePeer::clearReceived()
{
    m_received.clear();
}

void ServicePeer::attemptConnection()
{
    if (m_wanted && m_socket->state() == QAbstractSocket::UnconnectedState)
        m_socket->connectToHost(QHostAddress(QHostAddress::LocalHost), m_port);
}

void ServicePeer::scheduleReconnect()
{
    if (m_wanted && m_autoReconnect && !m_reconnectTimer->isActive())
        m_reconnectTimer->start();
}

void ServicePeer::onStateChanged(QAbstractSocket::SocketState state)
{
    if (state == QAbstractSocket::ConnectedState) {
        m_linkUp = true;
        if (m_heartbeatTimer->interval() > 0)
            m_heartbeatTimer->start();
        emit connected();
    } else if (state == QAbstractSocket::UnconnectedState) {
        m_heartbeatTimer->stop();
        // A half frame from the old link must not prefix the new link's bytes.
        m_carry.clear();
        const bool wasUp = m_linkUp;
        m_linkUp = false;
        if (wasUp)
            emit disconnected();
        scheduleReconnect();
    }
}

void ServicePeer::onReadyRead()
{
    m_carry.append(m_socket->readAll());
    // Collected first and handled after the pass: a handler may send, drop the
    // link or clear the carry buffer, none of which may happen under the parser.
    QList<QByteArray> messages;
    frame::parseFrames(m_carry, [&messages](const char *message, quint32 length) {
        messages.append(QByteArray(message, int(length)));
    });
    for (const QByteArray &message : qAsConst(messages)) {
        if (!isConnected())
            break;
        handleMessage(message);
    }
}

void ServicePeer::handleMessage(const QByteArray &message)
{
    m_received.append(message);
    const qint32 command = control::commandOf(message.constData(), message.size());
    emit messageReceived(message);
    const QByteArray body = message.mid(kHeaderSize);
    const auto *b = reinterpret_cast<const uchar *>(body.constData());
    if (command == control::SetListenPort && body.size() >= 4)
        emit listenPortSet(qFromLittleEndian<qint32>(b));
    if (command == control::SelectNode && body.size() >= 3)
        emit nodeSelected(b[0], qFromLittleEndian<quint16>(b + 1));
    if (command == control::SwitchProxy && body.size() >= 1 &&
        (b[0] == control::kSwitchStart || b[0] == control::kSwitchStop))
        emit proxySwitched(b[0] == control::kSwitchStart);
    // The front-end sends no other code; anything else is not a request we know.
    if (command == control::RequestNodes && m_autoAnswer && isConnected() &&
        message.size() > kHeaderSize &&
        quint8(message.at(kHeaderSize)) == control::kRequestNodesCode) {
        sendMessage(control::composeNodeList(control::kNodeListReady, m_nodes));
        emit nodesAnswered(m_nodes.size());
    }
}
