#include "proxycores.h"

#include "demo/coreconfig.h"
#include "demo/coreprocess.h"
#include "demo/servicepeer.h"

#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>
#include <QUuid>

namespace {

// greenlark's exit ends every core at once; their ends, arriving one by one,
// make one line.
constexpr int kEndedReportDelayMs = 200;

quint32 keyOf(const NodeRecord &node)
{
    return quint32(node.tag) << 16 | control::nodeId(node);
}

QString labelOf(quint32 key)
{
    return QStringLiteral("node %1/%2").arg(key >> 16).arg(key & 0xFFFF);
}

} // namespace

ProxyCores::ProxyCores(const QString &program, bool allowInternet, QObject *parent)
    : QObject(parent), m_program(program), m_allowInternet(allowInternet),
      // Only this demo's client gets into its node servers.
      m_userId(QUuid::createUuid().toString(QUuid::WithoutBraces)),
      m_client(newCore(QStringLiteral("client"))), m_endedReport(new QTimer(this))
{
    m_endedReport->setSingleShot(true);
    m_endedReport->setInterval(kEndedReportDelayMs);
    connect(m_endedReport, &QTimer::timeout, this, &ProxyCores::reportEnded);
    connect(m_client, &CoreProcess::ready, this, [this] {
        const NodeServer *server = serverOf(m_clientNode);
        emit line(QStringLiteral("proxy on 127.0.0.1:%1 (HTTP) through %2 (%3)")
                      .arg(m_clientPort)
                      .arg(labelOf(m_clientNode), server ? nodeName(server->node) : QString()));
    });
}

ProxyCores::~ProxyCores()
{
    // Before the config folder goes, and without a report: these ends are ours.
    m_endedReport->stop();
    m_client->stop();
    for (NodeServer &server : m_servers)
        server.core->stop();
}

bool ProxyCores::startNodeServers(const QVector<NodeRecord> &nodes)
{
    if (!m_configDir.isValid()) {
        emit line(QStringLiteral("no private folder for the core configs: %1")
                      .arg(m_configDir.errorString()));
        return false;
    }
    {
        // Every port stays taken until all are chosen, so no two servers get
        // the same one; all are free again before the servers start.
        QObject probes;
        for (const NodeRecord &node : nodes) {
            auto *probe = new QTcpServer(&probes);
            probe->listen(QHostAddress::LocalHost, 0);
            addNodeServer(node, probe->serverPort());
        }
    }
    for (NodeServer &server : m_servers)
        startServer(server);
    return true;
}

void ProxyCores::addNodeServer(const NodeRecord &node, quint16 port)
{
    const QString label = labelOf(keyOf(node));
    CoreProcess *core = newCore(label);
    connect(core, &CoreProcess::ready, this, [this, label, node, port] {
        emit line(
            QStringLiteral("%1 (%2) serves on 127.0.0.1:%3").arg(label, nodeName(node)).arg(port));
        update();
    });
    m_servers.append({node, port, core});
}

void ProxyCores::selectNode(quint8 tag, quint16 id)
{
    m_haveSelection = true;
    m_selected = quint32(tag) << 16 | id;
    update();
}

void ProxyCores::setListenPort(qint32 port)
{
    m_listenPort = port;
    update();
}

void ProxyCores::switchProxy(bool on)
{
    if (on) {
        QStringList restarted;
        for (NodeServer &server : m_servers) {
            if (!server.core->isRunning()) {
                startServer(server);
                restarted.append(server.core->label());
            }
        }
        if (!restarted.isEmpty())
            emit line(
                QStringLiteral("starting again: %1").arg(restarted.join(QStringLiteral(", "))));
    }
    m_wanted = on;
    update();
}

void ProxyCores::linkLost()
{
    m_wanted = false;
    update();
}

ProxyCores::NodeServer *ProxyCores::serverOf(quint32 key)
{
    for (NodeServer &server : m_servers) {
        if (keyOf(server.node) == key)
            return &server;
    }
    return nullptr;
}

QString ProxyCores::writeConfig(const QString &name, const QByteArray &config)
{
    const QString path = m_configDir.filePath(name + QStringLiteral(".json"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(config) != config.size()) {
        emit line(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return QString();
    }
    return path;
}

CoreProcess *ProxyCores::newCore(const QString &label)
{
    auto *core = new CoreProcess(m_program, label, this);
    connect(core, &CoreProcess::output, this, &ProxyCores::line);
    connect(core, &CoreProcess::ended, this,
            [this, core](const QString &reason) { noteEnded(core, reason); });
    return core;
}

void ProxyCores::startServer(NodeServer &server)
{
    const quint32 key = keyOf(server.node);
    const QString path =
        writeConfig(QStringLiteral("node-%1-%2").arg(key >> 16).arg(key & 0xFFFF),
                    coreconfig::nodeServer(server.port, m_userId, m_allowInternet));
    if (!path.isEmpty())
        server.core->start(path);
}

void ProxyCores::update()
{
    if (!m_wanted) {
        stopClient(QStringLiteral("proxy stopped"));
        return;
    }
    // Whatever keeps the proxy from starting keeps it off until the next start,
    // as the front-end's own stop would.
    auto refuse = [this](const QString &why) {
        m_wanted = false;
        stopClient(QString());
        emit line(QStringLiteral("no proxy: %1").arg(why));
    };
    if (!m_haveSelection)
        return refuse(QStringLiteral("no node selected"));
    if (m_listenPort < 1 || m_listenPort > 0xFFFF)
        return refuse(QStringLiteral("listen port %1 is not a port").arg(m_listenPort));
    NodeServer *server = serverOf(m_selected);
    if (!server) {
        return refuse(QStringLiteral("%1 has no server; mark it with '*' in the nodes file")
                          .arg(labelOf(m_selected)));
    }
    // The client starts once its node server listens; its ready comes back here.
    if (!server->core->isReady())
        return;
    if (m_client->isRunning() && m_clientNode == m_selected && m_clientPort == m_listenPort)
        return;

    stopClient(QString());
    const QString path =
        writeConfig(QStringLiteral("client"),
                    coreconfig::client(quint16(m_listenPort), server->port, m_userId));
    if (path.isEmpty())
        return refuse(QStringLiteral("no client config"));
    m_clientNode = m_selected;
    m_clientPort = quint16(m_listenPort);
    m_client->start(path);
}

void ProxyCores::stopClient(const QString &why)
{
    if (!m_client->isRunning())
        return;
    m_client->stop();
    if (!why.isEmpty())
        emit line(why);
}

void ProxyCores::noteEnded(CoreProcess *core, const QString &reason)
{
    m_ended.append(QStringLiteral("%1 (%2)").arg(core->label(), reason));
    if (!m_endedReport->isActive())
        m_endedReport->start();
    // Off until the next start; the client, if it still runs, stops once every
    // end has come in, so that its own end is not taken for ours.
    const NodeServer *server = serverOf(m_selected);
    if (core == m_client || (server && core == server->core))
        m_wanted = false;
}

void ProxyCores::reportEnded()
{
    emit line(QStringLiteral("%1 ended: %2; nothing is restarted until the next SwitchProxy start")
                  .arg(QFileInfo(m_program).fileName(), m_ended.join(QStringLiteral(", "))));
    m_ended.clear();
    if (!m_wanted)
        stopClient(QString());
}
