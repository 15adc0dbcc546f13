// The front-end lives in the notification area: minimising hides the window
// where a tray can bring it back, a double click on the tray icon does, the
// tray menu ends it.
#include "cmainwindow.h"

#include "platform/autostart.h"

#include <QAction>
#include <QActionGroup>
#include <QCursor>
#include <QDebug>
#include <QEvent>
#include <QIcon>
#include <QMenu>

namespace {

std::optional<bool> g_trayAvailableForTests;

// Enough to find a node by eye; the node page holds the rest.
constexpr int kTrayNodes = 20;

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
    m_trayIcon = new QSystemTrayIcon(this);
    m_trayMenu = new QMenu(this);
    m_actQuit = new QAction(m_trayMenu);
    m_actQuit->setText(QStringLiteral("退出"));

    // Everything the main page does, without opening the window.
    m_actState = m_trayMenu->addAction(QString());
    m_actState->setEnabled(false);
    m_actRun = m_trayMenu->addAction(QString());
    connect(m_actRun, &QAction::triggered, this, &CMainWindow::slotsRunProxyProcess);
    m_menuNodes = m_trayMenu->addMenu(QStringLiteral("节点"));
    // Made once: a new list only changes their texts and which of them show.
    for (int i = 0; i < kTrayNodes; ++i) {
        QAction *pick = m_menuNodes->addAction(QString());
        pick->setCheckable(true);
        connect(pick, &QAction::triggered, this, [this, i] { pickNodeFromTray(i); });
    }
    m_menuNodes->addSeparator();
    QAction *more = m_menuNodes->addAction(QStringLiteral("更多…"));
    connect(more, &QAction::triggered, this, [this] {
        bringToFront();
        ui.m_btnNode->click();
    });
    QMenu *modes = m_trayMenu->addMenu(QStringLiteral("模式"));
    auto *modeGroup = new QActionGroup(modes);
    m_actPac = modes->addAction(QStringLiteral("PAC模式"));
    m_actGlobal = modes->addAction(QStringLiteral("全局模式"));
    for (QAction *mode : {m_actPac, m_actGlobal}) {
        mode->setCheckable(true);
        modeGroup->addAction(mode);
    }
    connect(m_actPac, &QAction::triggered, this, [this] { setModeFromTray(kPacMode); });
    connect(m_actGlobal, &QAction::triggered, this, [this] { setModeFromTray(kGlobalMode); });
    m_actStartAtLogin = m_trayMenu->addAction(QStringLiteral("开机启动"));
    m_actStartAtLogin->setCheckable(true);
    connect(m_actStartAtLogin, &QAction::triggered, this, &CMainWindow::setStartedAtLogin);
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(m_actQuit);
    // Someone may have changed the login items since: show what is there.
    connect(m_trayMenu, &QMenu::aboutToShow, this,
            [this] { m_actStartAtLogin->setChecked(platform::isStartedAtLogin()); });
    m_actStartAtLogin->setChecked(platform::isStartedAtLogin());
    refreshTrayMenu();

    connect(m_actQuit, &QAction::triggered, this, &QWidget::close);

    m_trayIcon->setContextMenu(m_trayMenu);
    m_trayIcon->setIcon(QIcon(QStringLiteral(":/CMainWindow/image/app.png")));
    m_trayIcon->setToolTip(QStringLiteral("greenlark proxy"));
    m_trayIcon->show();
}

void CMainWindow::refreshTrayMenu()
{
    if (!m_trayMenu)
        return;
    QString node = ui.m_lbNodeName->text();
    if (m_nSelectIndex >= 0 && m_nSelectIndex < m_nodeList.size())
        node = trayNodeText(m_nodeList.at(m_nSelectIndex));
    m_actState->setText(QStringLiteral("%1 · %2").arg(node, m_bRunning ? QStringLiteral("运行中")
                                                                       : QStringLiteral("已停止")));
    m_actRun->setText(m_bRunning ? QStringLiteral("停止") : QStringLiteral("启动"));

    const QList<QAction *> entries = m_menuNodes->actions();
    for (int i = 0; i < kTrayNodes; ++i) {
        QAction *pick = entries.at(i);
        const bool shown = i < m_nodeList.size();
        if (shown) {
            pick->setText(trayNodeText(m_nodeList.at(i)));
            pick->setChecked(i == m_nSelectIndex);
        }
        pick->setVisible(shown);
    }
    // The separator and 更多….
    for (int i = kTrayNodes; i < entries.size(); ++i)
        entries.at(i)->setVisible(m_nodeList.size() > kTrayNodes);
    m_menuNodes->setEnabled(!m_nodeList.isEmpty());

    (m_nProxyMode == kPacMode ? m_actPac : m_actGlobal)->setChecked(true);
}

void CMainWindow::pickNodeFromTray(int index)
{
    // Exactly a double-click on the node's row.
    ui.m_twNodeList->selectRow(index);
    slotsSelectLinkNode(ui.m_twNodeList->item(index, 0));
}

void CMainWindow::setModeFromTray(int mode)
{
    storeSettings(m_nListenPort, mode);
    // The page shows what is in force, so that its next OK keeps it.
    (m_nProxyMode == kPacMode ? ui.m_rbPac : ui.m_rbGlobal)->setChecked(true);
    refreshTrayMenu();
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
    m_actStartAtLogin->setChecked(platform::isStartedAtLogin());
}

void CMainWindow::fixWindowSize()
{
    const QRect frame = frameGeometry();
    setFixedSize(frame.width(), frame.height());
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
}

void CMainWindow::slotsTrayActivated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Context:
        m_trayMenu->popup(QCursor::pos());
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
