// The proxy cores the demo runs when it has one: a node server for each node
// that is to have one, and the client on the listen port while the front-end
// has the proxy started. Every run ends with this object.
#pragma once

#include "link/controlmessages.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

class CoreProcess;
class QTimer;

class ProxyCores : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ProxyCores)

public:
    ProxyCores(const QString &program, bool allowInternet, QObject *parent = nullptr);
    ~ProxyCores() override;

    // Starts a server for each of `nodes`. False, with the reason on a line,
    // when there is no private folder for the configs.
    bool startNodeServers(const QVector<NodeRecord> &nodes);

    // What the front-end asks for; the client follows each at once.
    void selectNode(quint8 tag, quint16 id);
    void setListenPort(qint32 port);
    void switchProxy(bool on);
    // The front-end counts the proxy as stopped once the link is gone.
    void linkLost();

signals:
    // One line of the demo's log, the cores' own output included.
    void line(const QString &text);

private:
    struct NodeServer
    {
        NodeRecord node;
        quint16 port;
        CoreProcess *core;
    };

    void addNodeServer(const NodeRecord &node, quint16 port);
    NodeServer *serverOf(quint32 key);
    QString writeConfig(const QString &name, const QByteArray &config);
    CoreProcess *newCore(const QString &label);
    void startServer(NodeServer &server);
    // Brings the client in line with what was asked: started, stopped, or
    // restarted on another node or port.
    void update();
    void stopClient(const QString &why);
    void noteEnded(CoreProcess *core, const QString &reason);
    void reportEnded();

    QString m_program;
    bool m_allowInternet;
    QString m_userId;
    QTemporaryDir m_configDir;
    QVector<NodeServer> m_servers;
    CoreProcess *m_client;
    QTimer *m_endedReport;
    QStringList m_ended;

    bool m_wanted = false;
    bool m_haveSelection = false;
    quint32 m_selected = 0; // tag << 16 | id
    qint32 m_listenPort = 0;
    // What the running client was started with.
    quint32 m_clientNode = 0;
    quint16 m_clientPort = 0;
};
