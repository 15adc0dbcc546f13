// The front-end's end of the control link: listens for the service, accepts one
// peer at a time, frames and queues outgoing messages, pumps them out every
// 20 ms while any wait, and keeps received messages until the main window takes
// them. It says when the link comes up or goes down and when messages arrive,
// so nobody has to poll it while nothing happens.
#pragma once

#include "link/recvqueue.h"

#include <QMutex>
#include <QObject>
#include <QVector>

class QHostAddress;
class QTcpServer;
class QTcpSocket;
class QTimer;

class TcpServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(TcpServer)

public:
    explicit TcpServer(QObject *parent = nullptr);
    ~TcpServer() override;

    void startServer(bool enable, quint16 port);
    void closeServer();
    // False when the message was dropped: no peer, a full queue, too long.
    bool sendData(const char *message, quint32 length);
    int readData(char *buffer, quint32 capacity);
    // Every received message at once.
    RecvQueue::Batch takeMessages();
    bool isConnected();
    void clearSendQueue();
    void clearRecvQueue();

    // The port actually listened on (tests start on port 0); 0 when idle.
    quint16 serverPort() const;

    // How many frames wait to be written, how many received messages wait to
    // be taken and the memory they hold: the queues' limits and the pump's
    // pace, seen from outside.
    int queuedFrames();
    int queuedMessages();
    qint64 queuedBytes();

    // Only a process of this machine may hold the link.
    static bool isLoopbackPeer(const QHostAddress &address);

signals:
    void signalConnectionChanged(bool connected);
    void signalMessagesArrived();

private slots:
    void slotNewConnection();
    void slotSocketDisconnect();
    void slotSocketDataRead();
    void slotsTimer();

private:
    struct QueueEntry
    {
        char *data;
        quint32 length;
        quint32 sent;
    };

    void setConnected(bool connected);

    QTcpServer *m_server = nullptr;
    QTcpSocket *m_socket = nullptr;
    RecvQueue m_recvQueue; // with the carry buffer
    QVector<QueueEntry> m_sendQueue;
    bool m_connected = false;
    QTimer *m_sendTimer = nullptr;
    QMutex m_sendMutex;
    QMutex m_recvMutex;
};
