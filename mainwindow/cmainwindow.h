// The one window of the front-end and the owner of everything else: the form,
// the control link, the node list, the tray icon, the secondary windows, the
// main tick and the owner of the user's proxy settings. Its members are split
// by concern across the files of this folder.
#pragma once

#include "link/controlmessages.h"
#include "ui_cmainwindow.h"
#include "userproxy/userproxysettings.h"

#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVector>
#include <QWidget>
#include <optional>

class QAbstractButton;
class QAction;
class QButtonGroup;
class QMenu;
class QTableWidgetItem;
class TcpServer;
class TrayIcon;

// The main tick keeps two values per process, not per window: the link state
// it saw last and the time of its last node request. A new window starts them
// afresh.
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
    QString buildPacUrl(int port);
    // What went wrong, in words for the tips line; empty when nothing did.
    QString setSystemProxy(int mode, int port, QString pacUrl);
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
    // The tray menu from the window's state: called whenever that state changes.
    void refreshTrayMenu();
    void pickNodeFromTray(int row);
    void setModeFromTray(int mode);
    void setStartedAtLogin(bool on);
    void fixWindowSize();
    void slotsTrayActivated(QSystemTrayIcon::ActivationReason reason);

    // main tick
    void startMainTick();
    bool waitingForNodes();
    void requestNodesOnPace();
    void scheduleMainTick();

    // node list
    void setupNodeTable();
    void resetNodeList();
    void pollRecvMessage();
    void refreshNodeTable();
    QVector<int> getSelectedRows();
    void requestNodes(quint8 code);

    // node selection
    void selectNodeFromTable();

    // run control
    // The run button's own press changes nothing the service was not told;
    // the stops that follow a disconnection, a new node or a new port do.
    void toggleProxy(bool onlyIfHandedOver = false);
    void sendListenPort(int port);
    bool sendControl(const void *message, quint32 length);
    template <typename Message> bool sendControl(const Message &message)
    {
        return sendControl(&message, quint32(sizeof message));
    }

    Ui::CMainWindowClass ui;
    QTimer m_timer;
    TcpServer *m_tcpServer = nullptr;
    QVector<NodeRecord> m_nodeList;
    TrayIcon *m_tray = nullptr;
    QButtonGroup *m_bgMode = nullptr;
    bool m_bRunning = false;
    int m_nListenPort = 0;
    QString m_strPacUrl;
    int m_nProxyMode = 0;
    int m_nSelectIndex = -1;
    UserProxySettings m_userProxy;
    bool m_bTornDown = false;
};
