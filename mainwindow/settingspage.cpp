// The listen port and the proxy mode: kept in "proxysetting.ini", edited on the
// setting page, applied by its OK button.
#include "cmainwindow.h"

#include "session/proxysettingsfile.h"

#include <QDebug>
#include <QRegExp>
#include <QRegExpValidator>

void CMainWindow::loadSettings()
{
    const proxysettings::Values stored = proxysettings::read(proxysettings::path());
    m_nListenPort = stored.listenPort;
    m_nProxyMode = stored.proxyMode;
}

void CMainWindow::setupPortField()
{
    ui.m_lePort->setValidator(new QRegExpValidator(QRegExp(QStringLiteral("[0-9]{0,6}$")), this));
    ui.m_lePort->setText(QString::number(m_nListenPort));
}

void CMainWindow::slotsSelectSettingBtn(QAbstractButton *button)
{
    if (button == ui.m_btnSetting_ok) {
        if (!applySettings())
            return;
    } else if (button == ui.m_btnSetting_cancel) {
        revertSettings();
    }
    showLinkPage();
}

void CMainWindow::slotsProxyModeSetting()
{
    // A click on a mode only edits the page; OK applies it.
    const int mode = m_bgMode->checkedId();
    Q_UNUSED(mode);
}

bool CMainWindow::applySettings()
{
    const QString text = ui.m_lePort->text();
    const int port = text.toInt(nullptr, 10);
    if (!proxysettings::isValidListenPort(port)) {
        ui.m_lePort->setText(QString::number(m_nListenPort));
        showTips(QStringLiteral("监听端口无效：%1").arg(text));
        return false;
    }
    storeSettings(port, ui.m_rbPac->isChecked() ? kPacMode : kGlobalMode);
    return true;
}

void CMainWindow::storeSettings(int port, int mode)
{
    std::optional<int> newPort, newMode;
    if (port != m_nListenPort) {
        m_nListenPort = port;
        m_strPacUrl = buildPacUrl(m_nListenPort);
        newPort = port;
        // Sent even while no service is connected; the link drops it then and
        // the main tick announces the port when the service comes.
        sendListenPort(m_nListenPort);
        if (m_bRunning)
            toggleProxy();
    }
    if (mode != m_nProxyMode) {
        m_nProxyMode = mode;
        newMode = mode;
    }
    if (!newPort && !newMode)
        return;

    QStringList problems;
    // A file beside a program installed where the user may not write, or a
    // full disk: the values hold for this run, and the user hears of it.
    const QString path = proxysettings::path();
    if (!proxysettings::write(path, newPort, newMode)) {
        qDebug().noquote() << "The settings cannot be saved to" << path;
        problems << QStringLiteral("无法保存到%1，仅本次运行有效").arg(path);
    }
    const QString proxyProblem = setSystemProxy(m_nProxyMode, m_nListenPort, m_strPacUrl);
    if (!proxyProblem.isEmpty())
        problems << proxyProblem;
    const QString modeText =
        m_nProxyMode == kPacMode ? QStringLiteral("PAC模式") : QStringLiteral("全局模式");
    QString tip =
        QStringLiteral("监听端口：%1,代理模式：%2").arg(QString::number(m_nListenPort), modeText);
    if (!problems.isEmpty())
        tip += QStringLiteral("（%1）").arg(problems.join(QStringLiteral("；")));
    showTips(tip);
    refreshTrayMenu();
}

void CMainWindow::revertSettings()
{
    ui.m_lePort->setText(QString::number(m_nListenPort));
    if (m_nProxyMode == kPacMode)
        ui.m_rbPac->setChecked(true);
    else
        ui.m_rbGlobal->setChecked(true);
}

void CMainWindow::showLinkPage()
{
    ui.m_swFun->setCurrentWidget(ui.m_linkPage);
    ui.m_btnLink->setChecked(true);
}
