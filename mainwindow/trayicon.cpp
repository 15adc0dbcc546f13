#include "trayicon.h"

#include "platform/autostart.h"

#include <QAction>
#include <QActionGroup>
#include <QCursor>
#include <QIcon>
#include <QImageReader>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

QIcon greenlarkIcon()
{
    // Read as PNG outright: a reader left to find the format asks every image
    // plugin first, and so loads them all, and libjpeg, at every start.
    QImageReader reader(QStringLiteral(":/CMainWindow/image/app.png"), "png");
    reader.setAutoDetectImageFormat(false);
    return QIcon(QPixmap::fromImageReader(&reader));
}

TrayIcon::TrayIcon(QWidget *window) : QObject(window)
{
    m_trayIcon = new QSystemTrayIcon(this);
    m_trayMenu = new QMenu(window);
    m_actQuit = new QAction(m_trayMenu);
    m_actQuit->setText(QStringLiteral("退出"));

    m_actState = m_trayMenu->addAction(QString());
    m_actState->setEnabled(false);
    m_actRun = m_trayMenu->addAction(QString());
    connect(m_actRun, &QAction::triggered, this, &TrayIcon::runClicked);
    m_menuNodes = m_trayMenu->addMenu(QStringLiteral("节点"));
    // Made once: a new list only changes their texts and which of them show.
    for (int i = 0; i < kShownNodes; ++i) {
        QAction *pick = m_menuNodes->addAction(QString());
        pick->setCheckable(true);
        connect(pick, &QAction::triggered, this, [this, i] { emit nodePicked(i); });
    }
    m_menuNodes->addSeparator();
    connect(m_menuNodes->addAction(QStringLiteral("更多…")), &QAction::triggered, this,
            &TrayIcon::moreClicked);
    QMenu *modes = m_trayMenu->addMenu(QStringLiteral("模式"));
    auto *modeGroup = new QActionGroup(modes);
    m_actPac = modes->addAction(QStringLiteral("PAC模式"));
    m_actGlobal = modes->addAction(QStringLiteral("全局模式"));
    for (QAction *mode : {m_actPac, m_actGlobal}) {
        mode->setCheckable(true);
        modeGroup->addAction(mode);
        connect(mode, &QAction::triggered, this,
                [this, mode] { emit modePicked(mode == m_actPac); });
    }
    m_actStartAtLogin = m_trayMenu->addAction(QStringLiteral("开机启动"));
    m_actStartAtLogin->setCheckable(true);
    connect(m_actStartAtLogin, &QAction::triggered, this, &TrayIcon::startedAtLoginPicked);
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(m_actQuit);
    connect(m_actQuit, &QAction::triggered, this, &TrayIcon::quitClicked);
    // Someone may have changed the login items since: show what is there.
    connect(m_trayMenu, &QMenu::aboutToShow, this, &TrayIcon::showStartedAtLogin);
    showStartedAtLogin();

    m_trayIcon->setContextMenu(m_trayMenu);
    m_trayIcon->setIcon(window->windowIcon()); // read once, at the window's start
    m_trayIcon->setToolTip(QStringLiteral("greenlark proxy"));
    m_trayIcon->show();
}

void TrayIcon::show(const State &state)
{
    m_actState->setText(QStringLiteral("%1 · %2").arg(
        state.nodeInUse, state.running ? QStringLiteral("运行中") : QStringLiteral("已停止")));
    m_actRun->setText(state.running ? QStringLiteral("停止") : QStringLiteral("启动"));

    const QList<QAction *> entries = m_menuNodes->actions();
    for (int i = 0; i < kShownNodes; ++i) {
        QAction *pick = entries.at(i);
        const bool shown = i < state.nodes.size();
        if (shown) {
            pick->setText(state.nodes.at(i));
            pick->setChecked(i == state.nodeInUseRow);
        }
        pick->setVisible(shown);
    }
    // The separator and 更多….
    for (int i = kShownNodes; i < entries.size(); ++i)
        entries.at(i)->setVisible(state.moreNodes);
    m_menuNodes->setEnabled(!state.nodes.isEmpty());
    (state.pac ? m_actPac : m_actGlobal)->setChecked(true);
}

void TrayIcon::popUp()
{
    m_trayMenu->popup(QCursor::pos());
}

void TrayIcon::notify(const QString &message)
{
    m_trayIcon->showMessage(QStringLiteral("greenlark"), message, QSystemTrayIcon::Information);
}

void TrayIcon::showStartedAtLogin()
{
    m_actStartAtLogin->setChecked(platform::isStartedAtLogin());
}
