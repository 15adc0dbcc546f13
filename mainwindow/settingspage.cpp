// The listen port and the proxy mode: kept in "proxysetting.ini", edited on the
// setting page, applied by its OK button.
#include "cmainwindow.h"

#include "session/proxysettingsfile.h"

#include <QDebug>
#include <QRegExp>
#include <QRegExpValidator>

void CMainWindow::loadSettings()
{
    const auto send = [this](const char *message, quint32 length) {
        return sendControl(message, length);
    };
    m_session = new ProxySession(send, proxysettings::read(proxysettings::path()), this);
}

void CMainWindow::setupPortField()
{
    ui.m_lePort->setValidator(new QRegExpValidator(QRegExp(QStringLiteral("[0-9]{0,6}$")), this));
    ui.m_lePort->setText(QString::number(m_session->listenPort()));
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
        ui.m_lePort->setText(QString::number(m_session->listenPort()));
        showTips(QStringLiteral("监听端口无效：%1").arg(text));
        return false;
    }
    storeSettings(port, ui.m_rbPac->isChecked() ? kPacMode : kGlobalMode);
    return true;
}

void CMainWindow::storeSettings(int port, int mode)
{
    // The service hears of a new port, and a running proxy stops, before the
    // file and the system proxy change.
    const bool portChanged = m_session->setListenPort(port);
    const bool modeChanged = m_session->setProxyMode(mode);
    if (!portChanged && !modeChanged)
        return;

    QStringList problems;
    // A file beside a program installed where the user may not write, or a
    // full disk: the values hold for this run, and the user hears of it.
    const QString path = proxysettings::path();
    if (!proxysettings::write(path, portChanged ? std::optional<int>(port) : std::nullopt,
                              modeChanged ? std::optional<int>(mode) : std::nullopt)) {
        qDebug().noquote() << "The settings cannot be saved to" << path;
        problems << QStringLiteral("无法保存到%1，仅本次运行有效").arg(path);
    }
    const QString proxyProblem = setSystemProxy(mode, m_session->listenPort(), m_session->pacUrl());
    if (!proxyProblem.isEmpty())
        problems << proxyProblem;
    const QString modeText =
        mode == kPacMode ? QStringLiteral("PAC模式") : QStringLiteral("全局模式");
    QString tip = QStringLiteral("监听端口：%1,代理模式：%2").arg(QString::number(port), modeText);
    if (!problems.isEmpty())
        tip += QStringLiteral("（%1）").arg(problems.join(QStringLiteral("；")));
    showTips(tip);
}

void CMainWindow::revertSettings()
{
    ui.m_lePort->setText(QString::number(m_session->listenPort()));
    (m_session->isPac() ? ui.m_rbPac : ui.m_rbGlobal)->setChecked(true);
}

void CMainWindow::showLinkPage()
{
    ui.m_swFun->setCurrentWidget(ui.m_linkPage);
    ui.m_btnLink->setChecked(true);
}
