// Points the user's system proxy at the local service; the owner of the
// user's own settings keeps them safe meanwhile and gives them back.
#include "cmainwindow.h"

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
