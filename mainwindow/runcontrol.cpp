// Starting and stopping the proxy, moving between the pages, and the messages
// the window sends to the service.
#include "cmainwindow.h"

#include "link/tcpserver.h"

#include <QEvent>
#include <QKeyEvent>

namespace {
const char kStoppedStyle[] = "background-color: rgb(245, 245, 245);";
const char kRunningStyle[] = "background-color: rgb(97, 181, 255);";
} // namespace

void CMainWindow::slotsRunProxyProcess()
{
    switch (m_session->toggleProxy()) {
    case ProxySession::RunOutcome::NeedsNode:
        showTips(QStringLiteral("请选择服务器节点"));
        break;
    case ProxySession::RunOutcome::NotSent:
        // Nothing reached the service, so the button claims nothing.
        showTips(QStringLiteral("服务未连接，无法启动"));
        break;
    case ProxySession::RunOutcome::Started:
    case ProxySession::RunOutcome::Stopped:
        break;
    }
}

void CMainWindow::showRunState()
{
    const bool running = m_session->isRunning();
    ui.m_btnRun->setText(running ? QStringLiteral("停止") : QStringLiteral("启动"));
    ui.m_btnRun->setStyleSheet(QLatin1String(running ? kRunningStyle : kStoppedStyle));
}

void CMainWindow::slotsSelectMenuBtn(QAbstractButton *button)
{
    if (button == ui.m_btnSetting) {
        ui.m_swFun->setCurrentWidget(ui.m_settingPage);
    } else if (button == ui.m_btnLink) {
        ui.m_swFun->setCurrentWidget(ui.m_linkPage);
    } else if (button == ui.m_btnNode) {
        ui.m_swFun->setCurrentWidget(ui.m_nodePage);
        requestNodes(control::kRequestNodesCode);
    }
}

bool CMainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui.m_lbNodeName && event->type() == QEvent::MouseButtonDblClick) {
        ui.m_swFun->setCurrentWidget(ui.m_nodePage);
        ui.m_btnNode->setChecked(true);
        requestNodes(control::kRequestNodesCode);
    }
    // Enter on a row picks its node, as a double-click does, for those who use
    // the keyboard.
    if (watched == ui.m_twNodeList && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            slotsSelectLinkNode(ui.m_twNodeList->currentItem());
            return true;
        }
    }
    // The label still gets its double-click.
    return false;
}

bool CMainWindow::sendControl(const void *message, quint32 length)
{
    return m_tcpServer && m_tcpServer->sendData(static_cast<const char *>(message), length);
}
