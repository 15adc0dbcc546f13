// The front-end lives in the notification area: minimising hides the window
// where a tray can bring it back, a double click on the tray icon does, the
// tray menu ends it.
#include "cmainwindow.h"

#include <QAction>
#include <QCursor>
#include <QEvent>
#include <QIcon>
#include <QMenu>

namespace {
std::optional<bool> g_trayAvailableForTests;
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
