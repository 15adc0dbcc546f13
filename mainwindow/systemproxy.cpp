// Points the user's system proxy at the local service; the owner of the
// user's own settings keeps them safe meanwhile and gives them back.
#include "cmainwindow.h"

#include "platform/sessionend.h"

#include <QGuiApplication>

QString proxyResultText(UserProxySettings::Result result)
{
    switch (result) {
    case UserProxySettings::Result::Unreadable:
        return QStringLiteral("无法读取系统代理设置");
    case UserProxySettings::Result::NotJournaled:
        return QStringLiteral("无法备份，代理未改");
    case UserProxySettings::Result::NotWritten:
        return QStringLiteral("无法设置系统代理");
    case UserProxySettings::Result::Done:
        break;
    }
    return QString();
}

QString CMainWindow::setSystemProxy(int mode, int port, QString pacUrl)
{
    return proxyResultText(m_userProxy.apply(mode, port, pacUrl));
}

QString CMainWindow::applySessionProxy()
{
    return setSystemProxy(m_session->isPac() ? kPacMode : kGlobalMode, m_session->listenPort(),
                          m_session->pacUrl());
}

void CMainWindow::watchSessionEnd()
{
    // A Windows logoff or shutdown ends the process soon after this, without
    // closing the window or returning from the event loop; the logoff may also
    // be cancelled, and then greenlark goes on with its own options again.
    auto *sessionEnd = new SessionEnd(this);
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this, sessionEnd] {
        if (!m_userProxy.restore(false))
            showTips(QStringLiteral("无法恢复原代理设置"));
        sessionEnd->requested();
    });
    connect(sessionEnd, &SessionEnd::resumed, this, [this] {
        const QString problem = applySessionProxy();
        if (!problem.isEmpty())
            showTips(problem);
    });
}
