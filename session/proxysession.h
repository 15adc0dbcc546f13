// The proxy session: what greenlark and the service have agreed on, which the
// window and the tray only show. It holds whether the service is connected,
// the node list it sent, the node in use, whether the proxy runs, the listen
// port, the PAC address and the mode (once the window's m_nodeList,
// m_nSelectIndex, m_bRunning, m_nListenPort, m_strPacUrl and m_nProxyMode),
// takes the events that change them, tells the service what the user changed
// and says what changed.
//
// Its rules, kept after every event:
//  - Starting needs a node in use that the list holds. Stopping needs nothing:
//    every path that stops (the run button, the tray, a new port, a new node,
//    the service coming or going, a quit) stops.
//  - A running proxy always has a node in use and a connected service. The node in use is the
//  record
//    the service was last told with SelectNode, kept apart from its row: a new
//    list that moves it moves its row, one that lacks it leaves it without a
//    row but still named, and one that holds it again gives the row back.
//  - The service coming or going stops a running proxy and empties the list and
//    the node in use.
//  - The service hears exactly what the user changed, in the order it always
//    has: a new node is SelectNode, then the stop if the proxy ran; a new port
//    is SetListenPort, then the stop; the run button is SwitchProxy; a service
//    that comes hears the port first. A list, a mode, a going service and a quit
//    send nothing of their own (the service's processes end with greenlark).
//  - The PAC address names the listen port plus one.
#pragma once

#include "link/controlmessages.h"
#include "session/proxysettingsfile.h"

#include <QObject>
#include <QString>
#include <QVector>
#include <functional>
#include <optional>

// greenlark's PAC address for a listen port, stamped with the time of the call.
QString buildPacUrl(int port);

class ProxySession : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ProxySession)

public:
    enum Change
    {
        Link = 0x01,
        Nodes = 0x02,      // a different list
        NodesAgain = 0x04, // the same list sent again
        NodeInUse = 0x08,
        Running = 0x10,
        Settings = 0x20, // the listen port or the mode
    };
    Q_DECLARE_FLAGS(Changes, Change)

    enum class RunOutcome
    {
        Started,
        Stopped,
        NeedsNode, // nothing in use that the list holds: nothing was sent
        NotSent,   // no service to hear the start, or it could not be queued
    };

    // Queues one control message for the service; false when it was dropped.
    using Sender = std::function<bool(const char *message, quint32 length)>;

    ProxySession(Sender send, const proxysettings::Values &stored, QObject *parent = nullptr);

    bool isServiceConnected() const { return m_serviceConnected; }
    const QVector<NodeRecord> &nodes() const { return m_nodes; }
    const std::optional<NodeRecord> &nodeInUse() const { return m_nodeInUse; }
    // Its row in the list; -1 when there is none in use or the list lacks it.
    int nodeInUseRow() const { return m_nodeInUseRow; }
    bool isRunning() const { return m_running; }
    int listenPort() const { return m_listenPort; }
    const QString &pacUrl() const { return m_pacUrl; }
    // 2 for PAC, 3 for global, or what the file held before the first OK.
    int proxyMode() const { return m_proxyMode; }
    bool isPac() const;

    void serviceChanged(bool connected);
    // A list the window shows (acceptedNodeList): its records, copied.
    void listArrived(const NodeRecord *records, int count);
    // The user chose the node at this row; false when the list has none there.
    bool pickNode(int row);
    RunOutcome toggleProxy();
    // Whether the port changed.
    bool setListenPort(int port);
    bool setProxyMode(int mode);
    // greenlark ends: the proxy stops with it, and no later event counts.
    void quit();

signals:
    void changed(ProxySession::Changes what);
    // The service went away while the proxy ran, which stopped it; then it came
    // back.
    void serviceLost();
    void serviceBack();

private:
    template <typename Message> bool send(const Message &message)
    {
        return m_send(reinterpret_cast<const char *>(&message), quint32(sizeof message));
    }
    void stop();
    Changes stopIfRunning();
    void findNodeInUse();

    Sender m_send;
    bool m_serviceConnected = false;
    QVector<NodeRecord> m_nodes;
    std::optional<NodeRecord> m_nodeInUse;
    int m_nodeInUseRow = -1;
    bool m_running = false;
    int m_listenPort = proxysettings::kDefaultListenPort;
    QString m_pacUrl;
    int m_proxyMode = proxysettings::kDefaultProxyMode;
    bool m_lostWhileRunning = false;
    bool m_ended = false;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(ProxySession::Changes)
