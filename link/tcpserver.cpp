#include "link/tcpserver.h"

#include "link/controlframe.h"

#include <QDebug>
#include <QHostAddress>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstring>

namespace {

constexpr int kSendIntervalMs = 20;
constexpr int kMaxSendQueue = 5000;
constexpr int kMaxFramesPerTick = 20;

} // namespace

TcpServer::TcpServer(QObject *parent) : QObject(parent), m_sendTimer(new QTimer)
{
    // Started by the first frame queued and stopped once none waits, so an
    // idle link costs no wakeups.
    m_sendTimer->setInterval(kSendIntervalMs);
    connect(m_sendTimer, SIGNAL(timeout()), this, SLOT(slotsTimer()));
}

TcpServer::~TcpServer()
{
    // Whoever listens may be halfway through its own destruction.
    blockSignals(true);
    closeServer();
    m_sendTimer->stop();
    delete m_sendTimer;
}

void TcpServer::startServer(bool enable, quint16 port)
{
    closeServer();
    if (!enable)
        return;
    m_server = new QTcpServer;
    m_server->setMaxPendingConnections(1);
    // A port already taken leaves the link down for good; the main window shows
    // that through isConnected() staying false.
    m_server->listen(QHostAddress::Any, port);
    connect(m_server, SIGNAL(newConnection()), this, SLOT(slotNewConnection()));
}

void TcpServer::closeServer()
{
    if (m_socket) {
        // The socket may still emit disconnected while it is torn down; by then it
        // is no longer ours and must not clear the queues a second time.
        m_socket->disconnect(this);
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    if (m_server) {
        m_server->close();
        delete m_server;
        m_server = nullptr;
    }
    clearSendQueue();
    clearRecvQueue();
    setConnected(false);
    qDebug() << "closeServer";
}

bool TcpServer::sendData(const char *message, quint32 length)
{
    if (!m_socket || !m_connected)
        return false;
    QMutexLocker locker(&m_sendMutex);
    if (m_sendQueue.size() >= kMaxSendQueue)
        return false;
    if (!message || length > frame::kMaxPayload)
        return false;
    const quint32 size = length + frame::kOverhead;
    char *data = new char[size];
    frame::buildFrame(frame::DataFrame, message, length, data);
    m_sendQueue.append(QueueEntry{data, size, 0});
    if (!m_sendTimer->isActive())
        m_sendTimer->start();
    return true;
}

int TcpServer::readData(char *buffer, quint32 capacity)
{
    QMutexLocker locker(&m_recvMutex);
    return m_recvQueue.takeFirst(buffer, capacity);
}

RecvQueue::Batch TcpServer::takeMessages()
{
    QMutexLocker locker(&m_recvMutex);
    return m_recvQueue.takeAll();
}

bool TcpServer::isConnected()
{
    return m_connected;
}

void TcpServer::clearSendQueue()
{
    QMutexLocker locker(&m_sendMutex);
    for (const QueueEntry &entry : qAsConst(m_sendQueue))
        delete[] entry.data;
    m_sendQueue.clear();
    m_sendTimer->stop();
}

void TcpServer::clearRecvQueue()
{
    QMutexLocker locker(&m_recvMutex);
    m_recvQueue.clear();
}

quint16 TcpServer::serverPort() const
{
    return m_server ? m_server->serverPort() : 0;
}

int TcpServer::queuedFrames()
{
    QMutexLocker locker(&m_sendMutex);
    return m_sendQueue.size();
}

int TcpServer::queuedMessages()
{
    QMutexLocker locker(&m_recvMutex);
    return m_recvQueue.size();
}

qint64 TcpServer::queuedBytes()
{
    QMutexLocker locker(&m_recvMutex);
    return m_recvQueue.heldBytes();
}

bool TcpServer::isLoopbackPeer(const QHostAddress &address)
{
    switch (address.protocol()) {
    case QAbstractSocket::IPv4Protocol:
        return (address.toIPv4Address() >> 24) == 127;
    case QAbstractSocket::IPv6Protocol: {
        const Q_IPV6ADDR a = address.toIPv6Address();
        static const quint8 loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        if (std::memcmp(a.c, loopback, sizeof(loopback)) == 0)
            return true;
        // A dual-stack listener may see an IPv4 peer as ::ffff:a.b.c.d.
        static const quint8 mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        return std::memcmp(a.c, mappedPrefix, sizeof(mappedPrefix)) == 0 && a.c[12] == 127;
    }
    default:
        return false;
    }
}

void TcpServer::slotNewConnection()
{
    if (!m_server)
        return;
    QTcpSocket *socket = m_server->nextPendingConnection();
    if (!socket)
        return;
    // Listening on every address is what the service expects, but the link
    // switches the user's proxy: nothing from outside this machine may drive it.
    if (!isLoopbackPeer(socket->peerAddress())) {
        qDebug().noquote() << "slotNewConnection: refused non-loopback peer"
                           << socket->peerAddress().toString();
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (m_connected) {
        socket->deleteLater();
        return;
    }
    m_socket = socket;
    // Reads of a bounded size keep what a waiting message holds alive bounded too.
    socket->setReadBufferSize(RecvQueue::kReadSize);
    connect(socket, SIGNAL(readyRead()), this, SLOT(slotSocketDataRead()));
    connect(socket, SIGNAL(disconnected()), this, SLOT(slotSocketDisconnect()));
    qDebug() << "slotNewConnection = true";
    setConnected(true);
}

void TcpServer::slotSocketDisconnect()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (socket) {
        socket->disconnect(this);
        socket->deleteLater();
    }
    if (socket != m_socket)
        return;
    m_socket = nullptr;
    clearSendQueue();
    clearRecvQueue();
    qDebug() << "slotSocketDisconnect = false";
    setConnected(false);
}

void TcpServer::setConnected(bool connected)
{
    if (connected == m_connected)
        return;
    m_connected = connected;
    emit signalConnectionChanged(connected);
}

void TcpServer::slotSocketDataRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket || socket != m_socket)
        return;
    const QByteArray read = socket->readAll();
    int arrived = 0;
    {
        QMutexLocker locker(&m_recvMutex);
        arrived = m_recvQueue.append(read);
    }
    if (arrived > 0)
        emit signalMessagesArrived();
}

void TcpServer::slotsTimer()
{
    if (!m_socket || !m_connected) {
        m_sendTimer->stop();
        return;
    }
    QMutexLocker locker(&m_sendMutex);
    const int attempts = std::min(m_sendQueue.size(), kMaxFramesPerTick);
    int done = 0;
    while (done < attempts) {
        QueueEntry &entry = m_sendQueue[done];
        const qint64 offered = qint64(entry.length) - entry.sent;
        const qint64 written = m_socket->write(entry.data + entry.sent, offered);
        if (written <= 0)
            break;
        if (written < offered) {
            entry.sent += quint32(written);
            break;
        }
        delete[] entry.data;
        ++done;
    }
    // One removal for the whole tick keeps a full queue from being shifted once
    // per frame.
    m_sendQueue.remove(0, done);
    if (m_sendQueue.isEmpty())
        m_sendTimer->stop();
}
