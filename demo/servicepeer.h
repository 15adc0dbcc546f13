// The service's end of the control link: connects to the front-end on
// 127.0.0.1, cuts the incoming stream into messages, answers RequestNodes with
// a NodeList, and lets its owner send anything else.
#pragma once

#include "link/controlmessages.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QVector>

class QTcpSocket;
class QTimer;

// One readable line for a received message, e.g. "SetListenPort port=1081".
// With `nodes`, a SelectNode also names the node it picks from them. Never
// reads beyond the message, however short or malformed it is.
QString describeMessage(const QByteArray &message, const QVector<NodeRecord> &nodes = {});
// A node as the demo's lines name it: its country and info.
QString nodeName(const NodeRecord &node);

class ServicePeer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ServicePeer)

public:
    static constexpr quint16 kDefaultPort = 4000;
    static constexpr int kDefaultReconnectMs = 1000;

    explicit ServicePeer(QObject *parent = nullptr);
    ~ServicePeer() override;

    // Connects to 127.0.0.1:port, and keeps trying again while auto-reconnect
    // is on: after a refused attempt and after the link drops.
    void connectToFrontEnd(quint16 port = kDefaultPort);
    void setAutoReconnect(bool on);
    void disconnectFromFrontEnd();
    bool isConnected() const;
    quint16 port() const;

    // Dropped while no link is up, as the front-end does with its own.
    void sendMessage(const QByteArray &message);
    void sendRaw(const QByteArray &bytes);
    void sendHeartbeat();
    // Sends a HeartbeatFrame every `msec` while connected; 0 turns it off (the
    // default).
    void setHeartbeatInterval(int msec);

    // What RequestNodes is answered with; the built-in sample until set. Only
    // the first 324 are kept: a longer list would not fit the front-end's
    // receive buffer and would stall its link.
    void setNodes(const QVector<NodeRecord> &nodes);
    QVector<NodeRecord> nodes() const;
    void setAutoAnswer(bool on);

    QList<QByteArray> received() const;
    void clearReceived();

signals:
    void connected();
    void disconnected();
    void connectFailed(const QString &reason);
    void messageReceived(const QByteArray &message);
    // A SetListenPort arrived; the port as the front-end sent it, unchecked.
    void listenPortSet(qint32 port);
    void nodeSelected(quint8 tag, quint16 id);
    // SwitchProxy with action 1 (on) or 0; other actions mean nothing.
    void proxySwitched(bool on);
    void nodesAnswered(int count);

private:
    void attemptConnection();
    void onStateChanged(QAbstractSocket::SocketState state);
    void onReadyRead();
    void handleMessage(const QByteArray &message);
    void scheduleReconnect();

    QTcpSocket *m_socket;
    QTimer *m_reconnectTimer;
    QTimer *m_heartbeatTimer;
    QByteArray m_carry;
    QList<QByteArray> m_received;
    QVector<NodeRecord> m_nodes;
    quint16 m_port = kDefaultPort;
    bool m_wanted = false; // the owner wants the link up
    bool m_linkUp = false;
    bool m_autoReconnect = true;
    bool m_autoAnswer = true;
};
