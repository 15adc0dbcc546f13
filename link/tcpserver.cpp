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
    connect(m_sendTimer, SIGNAL(timeout()), this, SLOT(slotsTimer()));
    m_sendTimer->start(kSendIntervalMs);
}

TcpServer::~TcpServer()
{
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
    m_connected = false;
    clearSendQueue();
    clearRecvQueue();
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
    return true;
}

int TcpServer::readData(char *buffer, quint32 capacity)
{
    QMutexLocker locker(&m_recvMutex);
    if (m_recvQueue.isEmpty())
        return -1;
    const QueueEntry entry = m_recvQueue.first();
    if (entry.length > capacity || (!buffer && entry.length > 0))
        return -1;
    if (entry.length > 0)
        std::memcpy(buffer, entry.data, entry.length);
    delete[] entry.data;
    m_recvQueue.removeFirst();
    return int(entry.length);
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
}

void TcpServer::clearRecvQueue()
{
    {
        QMutexLocker locker(&m_recvMutex);
        for (const QueueEntry &entry : qAsConst(m_recvQueue))
            delete[] entry.data;
        m_recvQueue.clear();
    }
    m_recvBuffer.clear();
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
    connect(socket, SIGNAL(readyRead()), this, SLOT(slotSocketDataRead()));
    connect(socket, SIGNAL(disconnected()), this, SLOT(slotSocketDisconnect()));
    m_connected = true;
    qDebug() << "slotNewConnection = true";
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
    m_connected = false;
    clearSendQueue();
    clearRecvQueue();
    qDebug() << "slotSocketDisconnect = false";
}

void TcpServer::slotSocketDataRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket || socket != m_socket)
        return;
    QVector<QueueEntry> arrived;
    frame::feed(m_recvBuffer, socket->readAll(), [&arrived](const char *message, quint32 length) {
        char *data = new char[length];
        if (length > 0)
            std::memcpy(data, message, length);
        arrived.append(QueueEntry{data, length, 0});
    });
    // One lock per read instead of one per message: a read of small messages
    // would otherwise spend much of its time on the mutex.
    if (!arrived.isEmpty()) {
        QMutexLocker locker(&m_recvMutex);
        m_recvQueue += arrived;
    }
}

void TcpServer::slotsTimer()
{
    if (!m_socket || !m_connected)
        return;
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
}
