#include "session/proxysession.h"

#include "userproxy/userproxysettings.h"

#include <QDateTime>
#include <QDebug>
#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// One node in two lists: everything the service tells of it but its tag.
bool sameNode(const NodeRecord &a, const NodeRecord &b)
{
    constexpr std::size_t from = offsetof(NodeRecord, id);
    return std::memcmp(reinterpret_cast<const char *>(&a) + from,
                       reinterpret_cast<const char *>(&b) + from, sizeof a - from) == 0;
}

} // namespace

QString buildPacUrl(int port)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    return QStringLiteral("http://127.0.0.1:%1/pac/?t=%2").arg(port + 1).arg(stamp);
}

ProxySession::ProxySession(Sender send, const proxysettings::Values &stored, QObject *parent)
    : QObject(parent), m_send(std::move(send)), m_listenPort(stored.listenPort),
      m_pacUrl(buildPacUrl(stored.listenPort)), m_proxyMode(stored.proxyMode)
{
}

bool ProxySession::isPac() const
{
    return m_proxyMode == UserProxySettings::kPac;
}

void ProxySession::serviceChanged(bool connected)
{
    if (m_ended || connected == m_serviceConnected)
        return;
    m_serviceConnected = connected;
    Changes what = Link | Nodes | NodeInUse;
    // The service learns the port before anything else.
    if (connected)
        send(control::makeSetListenPort(m_listenPort));
    const bool wasRunning = m_running;
    what |= stopIfRunning();
    m_nodes.clear();
    m_nodeInUse.reset();
    m_nodeInUseRow = -1;
    emit changed(what);
    if (wasRunning)
        emit serviceLost();
    else if (connected && std::exchange(m_lostWhileRunning, false))
        emit serviceBack();
    m_lostWhileRunning = m_lostWhileRunning || wasRunning;
}

void ProxySession::listArrived(const NodeRecord *records, int count)
{
    if (m_ended || count <= 0)
        return;
    if (count == m_nodes.size() &&
        std::memcmp(records, m_nodes.constData(), size_t(count) * sizeof(NodeRecord)) == 0) {
        emit changed(NodesAgain);
        return;
    }
    m_nodes = QVector<NodeRecord>(records, records + count);
    const int row = m_nodeInUseRow;
    findNodeInUse();
    emit changed(row == m_nodeInUseRow ? Changes(Nodes) : Nodes | NodeInUse);
}

bool ProxySession::pickNode(int row)
{
    if (m_ended || row < 0 || row >= m_nodes.size())
        return false;
    m_nodeInUse = m_nodes.at(row);
    m_nodeInUseRow = row;
    send(control::makeSelectNode(*m_nodeInUse));
    // The service switches nodes only while stopped; the user starts it again.
    emit changed(NodeInUse | stopIfRunning());
    return true;
}

ProxySession::RunOutcome ProxySession::toggleProxy()
{
    if (m_ended)
        return RunOutcome::NotSent;
    if (m_running) {
        stop();
        emit changed(Running);
        return RunOutcome::Stopped;
    }
    if (m_nodeInUseRow < 0)
        return RunOutcome::NeedsNode;
    // Claimed only once the service can hear it: it never confirms a start.
    if (!m_serviceConnected || !send(control::makeSwitchProxy(control::kSwitchStart)))
        return RunOutcome::NotSent;
    m_running = true;
    qDebug() << "startProxy";
    emit changed(Running);
    return RunOutcome::Started;
}

bool ProxySession::setListenPort(int port)
{
    if (m_ended || port == m_listenPort)
        return false;
    m_listenPort = port;
    m_pacUrl = buildPacUrl(port);
    // Sent even while no service is connected; the link drops it then and the
    // service hears the port when it comes.
    send(control::makeSetListenPort(port));
    emit changed(Settings | stopIfRunning());
    return true;
}

bool ProxySession::setProxyMode(int mode)
{
    if (m_ended || mode == m_proxyMode)
        return false;
    m_proxyMode = mode;
    emit changed(Settings);
    return true;
}

void ProxySession::quit()
{
    if (m_ended)
        return;
    m_ended = true;
    if (!m_running)
        return;
    m_running = false;
    emit changed(Running);
}

void ProxySession::stop()
{
    // A stop that cannot reach the service stops all the same: a service that
    // cannot be told has gone, and its going stops the proxy anyway.
    send(control::makeSwitchProxy(control::kSwitchStop));
    m_running = false;
    qDebug() << "stopProxy";
}

ProxySession::Changes ProxySession::stopIfRunning()
{
    if (!m_running)
        return {};
    stop();
    return Running;
}

void ProxySession::findNodeInUse()
{
    m_nodeInUseRow = -1;
    if (!m_nodeInUse)
        return;
    const auto found = std::find_if(m_nodes.cbegin(), m_nodes.cend(), [this](const NodeRecord &n) {
        return sameNode(n, *m_nodeInUse);
    });
    if (found != m_nodes.cend())
        m_nodeInUseRow = int(found - m_nodes.cbegin());
}
