// The front-end lives in the notification area: minimising hides the window,
// a double click on the tray icon brings it back, the tray menu ends it.
#include "cmainwindow.h"

#include <QAction>
#include <QCursor>
#include <QEvent>
#include <QIcon>
#include <QMenu>

void CMainWindow::setupTray()
{
    m_trayIcon = new QSystemTrayIcon(this);
    m_trayMenu = new QMenu(this);
    m_actQuit = new QAction(m_trayMenu);
    m_actQuit->setText(QStringLiteral("退出"));
    m_trayMenu->addAction(m_actQuit);

    connect(m_actQuit, &QAction::triggered, this, &QWidget::close);

    m_trayIcon->setContextMenu(m_trayMenu);
    m_trayIcon->setIcon(QIcon(QStringLiteral(":/CMainWindow/image/app.png")));
    m_trayIcon->setToolTip(QStringLiteral("greenlark proxy"));
    m_trayIcon->show();
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
        setWindowState(Qt::WindowNoState);
        show();
        activateWindow();
        break;
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::MiddleClick:
    case QSystemTrayIcon::Unknown:
        break;
    }
}

void CMainWindow::changeEvent(QEvent *event)
{
    if (event->type() != QEvent::WindowStateChange)
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
