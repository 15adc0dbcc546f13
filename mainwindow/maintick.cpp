// The 20 ms main tick: follows the control link, takes one received message,
// and asks for nodes at most once a second while the node page is open.
#include "cmainwindow.h"

#include "link/tcpserver.h"

namespace {

constexpr quint64 kRequestIntervalMs = 1000;
constexpr int kEnoughNodes = 20;

const char kConnectedStyle[] = "background-color: rgb(0, 170, 0);";
const char kDisconnectedStyle[] = "background-color: rgb(255, 0, 0);";

struct TickState
{
    bool linkUp = false;
    quint64 lastRequestMs = 0;
};

TickState g_tickState;

} // namespace

void resetMainTickState()
{
    g_tickState = TickState();
}

void CMainWindow::slotsTimeHanlde()
{
    if (m_tcpServer) {
        const bool connected = m_tcpServer->isConnected();
        if (connected != g_tickState.linkUp) {
            g_tickState.linkUp = connected;
            if (connected) {
                ui.m_lbBackground->setStyleSheet(QLatin1String(kConnectedStyle));
                // The service learns the port before anything else of this tick.
                sendListenPort(m_nListenPort);
            } else {
                ui.m_lbBackground->setStyleSheet(QLatin1String(kDisconnectedStyle));
            }
            if (m_bRunning)
                toggleProxy();
            resetNodeList();
        }
    }

    pollRecvMessage();

    // Widened before subtracting: once the 32-bit counter wraps, the difference
    // is huge and the request goes out at once instead of never.
    if (quint64(GetTickCount()) - g_tickState.lastRequestMs < kRequestIntervalMs)
        return;
    g_tickState.lastRequestMs = GetTickCount();

    if (!ui.m_btnNode->isChecked())
        return;
    if (!m_tcpServer || !m_tcpServer->isConnected())
        return;
    if (m_nodeList.size() >= kEnoughNodes)
        return;
    requestNodes(control::kRequestNodesCode);
    if (m_nodeList.isEmpty())
        showTips(QStringLiteral("正在下载服务节点，请稍等..."));
}
