// The one window of the front-end and the owner of everything else: the form,
// the control link, the node list, the tray icon, the secondary windows, the
// main tick and the user's saved proxy options. Its members are split by
// concern across the files of this folder.
#pragma once

#include "link/controlmessages.h"
#include "platform/proxyjournal.h"
#include "ui_cmainwindow.h"

#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVector>
#include <QWidget>

class CLoginWindow;
class CNodeWin;
class QAbstractButton;
class QAction;
class QButtonGroup;
class QMenu;
class QTableWidgetItem;
class TcpServer;

// The main tick keeps two values per process, not per window: the link state
// it saw last and the time of its last node request. A new window starts them
// afresh.
void resetMainTickState();

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
    void slotsProxyModeSetting();
    void slotsRunProxyProcess();

private:
    enum ProxyMode : int
    {
        kPacMode = 2,
        kGlobalMode = 3,
    };

    void initUi();
    void initConnect();

    // system proxy
    QString buildPacUrl(int port);
    void setSystemProxy(int mode, int port, QString pacUrl);
    void saveSystemProxy();
    void restoreSystemProxy();
    void tearDown();

    // settings page
    void loadSettings();
    void setupPortField();
    bool applySettings();
    void revertSettings();
    void showLinkPage();

    // tray
    void setupTray();
    void fixWindowSize();
    void slotsTrayActivated(QSystemTrayIcon::ActivationReason reason);

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
    void toggleProxy();
    void sendListenPort(int port);
    void sendControl(const void *message, quint32 length);
    template <typename Message> void sendControl(const Message &message)
    {
        sendControl(&message, quint32(sizeof message));
    }

    Ui::CMainWindowClass ui;
    CLoginWindow *m_loginWindow = nullptr;
    CNodeWin *m_nodeWin = nullptr;
    QTimer m_timer;
    TcpServer *m_tcpServer = nullptr;
    QVector<NodeRecord> m_nodeList;
    QSystemTrayIcon *m_trayIcon = nullptr;
    QMenu *m_trayMenu = nullptr;
    QAction *m_actQuit = nullptr;
    QButtonGroup *m_bgMode = nullptr;
    bool m_bRunning = false;
    int m_nListenPort = 0;
    QString m_strPacUrl;
    int m_nProxyMode = 0;
    int m_nSelectIndex = -1;
    // The user's own options: those found at start, or the journal's when
    // what was found is greenlark's own, left by a run that did not end.
    ProxyOptions m_savedProxyOptions;
    bool m_bProxySaved = false;
    bool m_bProxyRestored = false;
    bool m_bTornDown = false;
};
