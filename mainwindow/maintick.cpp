// The main tick: takes what arrived over the control link, and asks for nodes
// at most once a second while the node page waits for them. It runs only
// while there is something to do: a change of the link, an arrival or the node
// page wakes it within one 20 ms tick, and while the node page waits it sleeps
// until the next request is due.
#include "cmainwindow.h"

#include "link/tcpserver.h"

namespace {

constexpr int kTickIntervalMs = 20;
constexpr quint64 kRequestIntervalMs = 1000;
constexpr quint64 kCounterRange = 0xFFFFFFFFu;
constexpr int kEnoughNodes = 20;

const char kConnectedStyle[] = "background-color: rgb(0, 170, 0);";
const char kDisconnectedStyle[] = "background-color: rgb(255, 0, 0);";

struct TickState
{
    quint64 lastRequestMs = 0;
};

TickState g_tickState;

} // namespace

void resetMainTickState()
{
    g_tickState = TickState();
}

void CMainWindow::startMainTick()
{
    // Owned and named like the widgets, so it is found as they are.
    m_timer.setParent(this);
    m_timer.setObjectName(QStringLiteral("m_timer"));
    m_timer.setSingleShot(true);
    // A request due in a second must not come early.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(m_tcpServer, SIGNAL(signalConnectionChanged(bool)), this, SLOT(slotsWakeTick()));
    connect(m_tcpServer, SIGNAL(signalMessagesArrived()), this, SLOT(slotsWakeTick()));
    connect(ui.m_btnNode, SIGNAL(toggled(bool)), this, SLOT(slotsWakeTick()));
    m_timer.start(kTickIntervalMs);
}

void CMainWindow::slotsWakeTick()
{
    if (m_timer.isActive() && m_timer.remainingTime() <= kTickIntervalMs)
        return;
    if (!m_timer.isActive()) {
        // A sleeping tick skips nothing but the one-second updates of the
        // request time; catching up on them keeps the rhythm a running tick
        // has, so a node page that just sent its own request does not get a
        // second one right behind it. A counter that wrapped meanwhile is left
        // alone: the next tick passes the pacing test at once, as it would have.
        const quint64 since = quint64(GetTickCount()) - g_tickState.lastRequestMs;
        if (since >= kRequestIntervalMs && since <= kCounterRange)
            g_tickState.lastRequestMs += since - since % kRequestIntervalMs;
    }
    m_timer.start(kTickIntervalMs);
}

void CMainWindow::slotsTimeHanlde()
{
    pollRecvMessage();
    requestNodesOnPace();
    scheduleMainTick();
}

void CMainWindow::showServiceState()
{
    const bool connected = m_session->isServiceConnected();
    ui.m_lbBackground->setStyleSheet(
        QLatin1String(connected ? kConnectedStyle : kDisconnectedStyle));
    // The colour in words, for those who cannot tell it.
    const QString state = connected ? QStringLiteral("服务已连接") : QStringLiteral("服务未连接");
    ui.m_lbBackground->setAccessibleName(state);
    ui.m_lbBackground->setToolTip(state);
}

void CMainWindow::requestNodesOnPace()
{
    // Widened before subtracting: once the 32-bit counter wraps, the difference
    // is huge and the request goes out at once instead of never.
    if (quint64(GetTickCount()) - g_tickState.lastRequestMs < kRequestIntervalMs)
        return;
    g_tickState.lastRequestMs = GetTickCount();

    if (!waitingForNodes())
        return;
    requestNodes(control::kRequestNodesCode);
    if (m_session->nodes().isEmpty())
        showTips(QStringLiteral("正在下载服务节点，请稍等..."));
}

bool CMainWindow::waitingForNodes()
{
    return ui.m_btnNode->isChecked() && m_session->isServiceConnected() &&
           m_session->nodes().size() < kEnoughNodes;
}

void CMainWindow::scheduleMainTick()
{
    if (!waitingForNodes()) {
        m_timer.stop();
        return;
    }
    const quint64 since = quint64(GetTickCount()) - g_tickState.lastRequestMs;
    m_timer.start(since < kRequestIntervalMs ? int(kRequestIntervalMs - since) : kTickIntervalMs);
}
