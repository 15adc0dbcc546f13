// The one window of the front-end and the owner of everything else: the form,
// the control link, the proxy session, the tray icon, the secondary windows,
// the main tick and the owner of the user's proxy settings. It shows the
// session and hands it the user's gestures; its members are split by concern
// across the files of this folder.
#pragma once

#include "session/proxysession.h"
#include "ui_cmainwindow.h"
#include "userproxy/userproxysettings.h"

#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <optional>

class QAbstractButton;
class QAction;
class QButtonGroup;
class QMenu;
class QTableWidgetItem;
class TcpServer;
class TrayIcon;

// The main tick keeps the time of its last node request per process, not per
// window. A new window starts it afresh.
void resetMainTickState();

// What the tips line says of an outcome of the user's proxy settings; empty
// when all went well.
QString proxyResultText(UserProxySettings::Result result);

// Whether a system tray is there to bring a hidden window back; the platform's
// answer unless a test sets one.
bool isTrayAvailable();
void setTrayAvailableForTests(std::optional<bool> available);

class CMainWindow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(CMainWindow)
    // Times the node list's road through the tick against the tick itself.
    friend class NodeListBenchmark;

public:
    explicit CMainWindow(QWidget *parent = nullptr);
    ~CMainWindow() override;

    void showTips(QString message);
    // Shown, not minimised, in front: for a later start, as for the tray.
    void bringToFront();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void changeEvent(QEvent *event) override;

private slots:
    void slotsShowWindow(bool bShow);
    void slotsSelectMenuBtn(QAbstractButton *button);
    void slotsSelectNodeBtn(QAbstractButton *button);
    void slotsSelectSettingBtn(QAbstractButton *button);
    void slotsSelectLinkNode(QTableWidgetItem *item);
    void slotsTimeHanlde();
    void slotsWakeTick();
    void slotsProxyModeSetting();
    void slotsRunProxyProcess();
    void slotsSessionChanged(ProxySession::Changes what);

private:
    enum ProxyMode : int
    {
        kPacMode = UserProxySettings::kPac,
        kGlobalMode = UserProxySettings::kGlobal,
    };

    // The system proxy is applied on the way; what went wrong with it goes to
    // *proxyProblem.
    void initUi(QString *proxyProblem);
    void initConnect();

    // system proxy
    // What went wrong, in words for the tips line; empty when nothing did.
    QString setSystemProxy(int mode, int port, QString pacUrl);
    // greenlark's options for the session's port and mode.
    QString applySessionProxy();
    void watchSessionEnd();
    void tearDown();

    // settings page
    void loadSettings();
    void setupPortField();
    bool applySettings();
    // What OK does with these values: stores what changed, tells the service,
    // applies the system proxy, says so.
    void storeSettings(int port, int mode);
    void revertSettings();
    void showLinkPage();

    // tray
    void setupTray();
    // The tray menu from the session: called whenever it changes.
    void refreshTrayMenu();
    // What the session did without the user: in the tray where there is one,
    // and on the tips line.
    void notifyUser(const QString &message);
    void pickNodeFromTray(int row);
    void setModeFromTray(int mode);
    void setStartedAtLogin(bool on);
    void fixWindowSize();
    void slotsTrayActivated(QSystemTrayIcon::ActivationReason reason);

    // main tick
    void startMainTick();
    void showServiceState();
    bool waitingForNodes();
    void requestNodesOnPace();
    void scheduleMainTick();

    // node list
    void setupNodeTable();
    void resetNodeList();
    void pollRecvMessage();
    void refreshNodeTable();
    void markNodeRows();
    QVector<int> getSelectedRows();
    void requestNodes(quint8 code);

    // node selection
    void selectNodeFromTable();
    void showNodeInUse();

    // run control
    void showRunState();
    bool sendControl(const void *message, quint32 length);
    template <typename Message> bool sendControl(const Message &message)
    {
        return sendControl(&message, quint32(sizeof message));
    }

    Ui::CMainWindowClass ui;
    QTimer m_timer;
    TcpServer *m_tcpServer = nullptr;
    ProxySession *m_session = nullptr;
    TrayIcon *m_tray = nullptr;
    QButtonGroup *m_bgMode = nullptr;
    UserProxySettings m_userProxy;
    bool m_bTornDown = false;
};
