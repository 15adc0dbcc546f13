// The front-end lives in the notification area: minimising hides the window
// where a tray can bring it back, a double click on the tray icon does, the
// tray menu ends it.
#include "cmainwindow.h"

#include "platform/autostart.h"
#include "trayicon.h"

#include <QDebug>
#include <QEvent>
#include <algorithm>

namespace {

std::optional<bool> g_trayAvailableForTests;

// The country, then what tells nodes of one country apart.
QString trayNodeText(const NodeRecord &node)
{
    const QString info = control::fieldText(node.info);
    const QString country = control::fieldText(node.country);
    return info.isEmpty() ? country : country + QLatin1Char(' ') + info;
}

} // namespace

bool isTrayAvailable()
{
    return g_trayAvailableForTests ? *g_trayAvailableForTests
                                   : QSystemTrayIcon::isSystemTrayAvailable();
}

void setTrayAvailableForTests(std::optional<bool> available)
{
    g_trayAvailableForTests = available;
}

void CMainWindow::setupTray()
{
    m_tray = new TrayIcon(this);
    connect(m_tray, &TrayIcon::runClicked, this, &CMainWindow::slotsRunProxyProcess);
    connect(m_tray, &TrayIcon::nodePicked, this, &CMainWindow::pickNodeFromTray);
    connect(m_tray, &TrayIcon::moreClicked, this, [this] {
        bringToFront();
        ui.m_btnNode->click();
    });
    connect(m_tray, &TrayIcon::modePicked, this,
            [this](bool pac) { setModeFromTray(pac ? kPacMode : kGlobalMode); });
    connect(m_tray, &TrayIcon::startedAtLoginPicked, this, &CMainWindow::setStartedAtLogin);
    connect(m_tray, &TrayIcon::quitClicked, this, &QWidget::close);
    refreshTrayMenu();
}

void CMainWindow::refreshTrayMenu()
{
    if (!m_tray)
        return;
    const QVector<NodeRecord> &nodes = m_session->nodes();
    TrayIcon::State state;
    // The node in use, wherever the list puts it, and also while it lacks it.
    const std::optional<NodeRecord> &inUse = m_session->nodeInUse();
    state.nodeInUse = inUse ? trayNodeText(*inUse) : QStringLiteral("[请选择节点]");
    state.nodeInUseRow = m_session->nodeInUseRow();
    // Only what the menu shows: lists run to hundreds of nodes.
    for (int row = 0; row < std::min(int(nodes.size()), TrayIcon::kShownNodes); ++row)
        state.nodes << trayNodeText(nodes.at(row));
    state.moreNodes = nodes.size() > TrayIcon::kShownNodes;
    state.running = m_session->isRunning();
    state.pac = m_session->isPac();
    m_tray->show(state);
}

void CMainWindow::notifyUser(const QString &message)
{
    showTips(message);
    if (m_tray && isTrayAvailable())
        m_tray->notify(message);
}

void CMainWindow::pickNodeFromTray(int row)
{
    // Exactly a double-click on the node's row: that row alone, whatever
    // modifier keys are held.
    QTableWidget *table = ui.m_twNodeList;
    table->selectionModel()->select(table->model()->index(row, 0),
                                    QItemSelectionModel::ClearAndSelect |
                                        QItemSelectionModel::Rows);
    slotsSelectLinkNode(table->item(row, 0));
}

void CMainWindow::setModeFromTray(int mode)
{
    storeSettings(m_session->listenPort(), mode);
    // The page shows what is in force, so that its next OK keeps it.
    (m_session->isPac() ? ui.m_rbPac : ui.m_rbGlobal)->setChecked(true);
}

void CMainWindow::setStartedAtLogin(bool on)
{
    QString why;
    if (platform::setStartedAtLogin(on, &why)) {
        showTips(on ? QStringLiteral("已设置开机启动") : QStringLiteral("已取消开机启动"));
    } else {
        qDebug().noquote() << "Start at login cannot be changed:" << why;
        showTips(QStringLiteral("无法%1开机启动：%2")
                     .arg(on ? QStringLiteral("设置") : QStringLiteral("取消"), why));
    }
    m_tray->showStartedAtLogin();
}

void CMainWindow::fixWindowSize()
{
    const QRect frame = frameGeometry();
    setFixedSize(frame.width(), frame.height());
}

void CMainWindow::slotsTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Context:
        m_tray->popUp();
        break;
    case QSystemTrayIcon::DoubleClick:
        bringToFront();
        break;
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
}

void CMainWindow::bringToFront()
{
    setWindowState(Qt::WindowNoState);
    show();
    raise();
    activateWindow();
}

void CMainWindow::changeEvent(QEvent *event)
{
    if (event->type() != QEvent::WindowStateChange)
        return;
    // Without a tray nothing could bring a hidden window back: it minimises
    // like any other.
    if (!isTrayAvailable())
        return;
    // Only the two plain states: a combined state is left alone.
    const Qt::WindowStates state = windowState();
    if (state == Qt::WindowMinimized || state == Qt::WindowMaximized)
        hide();
}

void CMainWindow::slotsShowWindow(bool bShow)
{
    if (bShow)
        show();
    else
        hide();
}
