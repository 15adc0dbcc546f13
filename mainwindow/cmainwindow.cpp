#include "cmainwindow.h"

#include "link/tcpserver.h"
#include "platform/proxystore.h"
#include "trayicon.h"

#include <QApplication>
#include <QDateTime>
#include <QPushButton>

namespace {
constexpr quint16 kControlPort = 4000;
} // namespace

// The compiled-in icon lives in a static library, where nothing would pull it
// in; the resource initialiser must be declared outside any namespace.
static void initResources()
{
    Q_INIT_RESOURCE(greenlark);
}

CMainWindow::CMainWindow(QWidget *parent)
    : QWidget(parent), m_userProxy(platform::makeProxyStores(), proxyjournal::path())
{
    static const bool resourcesReady = (initResources(), true);
    Q_UNUSED(resourcesReady);
    // Before the form: new window flags give a widget to its parent again, and
    // every child of the form would resolve its style sheet anew.
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    ui.setupUi(this);
    setWindowIcon(greenlarkIcon());

    m_tcpServer = new TcpServer(this);
    resetMainTickState();

    // Before anything changes the system proxy, so the exit can give the user
    // back exactly what was there.
    QString proxyProblem = proxyResultText(m_userProxy.save());
    loadSettings();
    initUi(&proxyProblem);
    initConnect();
    watchSessionEnd();
    connect(qApp, &QCoreApplication::aboutToQuit, this, &CMainWindow::tearDown);
    // The session hears every coming and going of the service as it happens, so
    // a service that leaves and comes back between two ticks is both.
    connect(m_tcpServer, &TcpServer::signalConnectionChanged, m_session,
            &ProxySession::serviceChanged);
    connect(m_session, &ProxySession::changed, this, &CMainWindow::slotsSessionChanged);
    connect(m_session, &ProxySession::serviceLost, this,
            [this] { notifyUser(QStringLiteral("服务已断开，代理已停止")); });
    connect(m_session, &ProxySession::serviceBack, this,
            [this] { notifyUser(QStringLiteral("服务已重新连接，请选择节点后启动")); });

    startMainTick();
    m_tcpServer->startServer(true, kControlPort);
    // The start goes on without the system proxy, and says so.
    if (!proxyProblem.isEmpty())
        showTips(QStringLiteral("初始化完成，但") + proxyProblem);
    else if (m_userProxy.journalDamaged())
        showTips(QStringLiteral("初始化完成，但代理备份已损坏，已另存"));
    else if (m_userProxy.recovered())
        showTips(QStringLiteral("初始化完成，已找回代理设置"));
    else
        showTips(QStringLiteral("初始化完成"));
}

CMainWindow::~CMainWindow()
{
    tearDown();
    // The node table's cells read m_nodeList, which is destroyed before the
    // table: nothing may ask them for a text after this body.
    ui.m_twNodeList->setRowCount(0);
}

void CMainWindow::tearDown()
{
    if (m_bTornDown)
        return;
    m_bTornDown = true;

    // No stop goes out: the service's own processes end with greenlark.
    m_session->quit();
    delete m_tcpServer;
    m_tcpServer = nullptr;
    // The icon leaves the notification area before the user's proxy returns.
    delete m_tray;
    m_tray = nullptr;

    m_userProxy.restore(true);

    // A copy that holds no journal came second: the control port, the service
    // and the settings in force are the first copy's, which it must not end.
    if (!m_userProxy.ownsJournal())
        return;
    // Any other copy of greenlark of this session ends too, in order, and this
    // one goes on to its own orderly end.
    platform::endProcessesByImageName(QStringLiteral("v2ray.exe"));
    platform::endProcessesByImageName(QStringLiteral("background.exe"));
    platform::endProcessesByImageName(QStringLiteral("greenlark.exe"));
}

void CMainWindow::initUi(QString *proxyProblem)
{
    showLinkPage();

    m_bgMode = new QButtonGroup(this);
    m_bgMode->addButton(ui.m_rbPac, 0);
    m_bgMode->addButton(ui.m_rbGlobal, 1);

    const QString applyProblem = applySessionProxy();
    if (proxyProblem->isEmpty())
        *proxyProblem = applyProblem;
    (m_session->isPac() ? ui.m_rbPac : ui.m_rbGlobal)->setChecked(true);

    setupPortField();
    setupNodeTable();
    setupTray();
    fixWindowSize();
    // Enter presses the button that has the focus, as Space does: the window is
    // no dialog, where that would be so already.
    for (QPushButton *button : findChildren<QPushButton *>())
        button->setAutoDefault(true);
}

void CMainWindow::initConnect()
{
    connect(ui.m_bgMenu, SIGNAL(buttonClicked(QAbstractButton *)), this,
            SLOT(slotsSelectMenuBtn(QAbstractButton *)));
    connect(ui.m_bgNode, SIGNAL(buttonClicked(QAbstractButton *)), this,
            SLOT(slotsSelectNodeBtn(QAbstractButton *)));
    connect(ui.m_bgSetting, SIGNAL(buttonClicked(QAbstractButton *)), this,
            SLOT(slotsSelectSettingBtn(QAbstractButton *)));
    connect(ui.m_btnRun, SIGNAL(clicked()), this, SLOT(slotsRunProxyProcess()));
    connect(ui.m_twNodeList, SIGNAL(itemDoubleClicked(QTableWidgetItem *)), this,
            SLOT(slotsSelectLinkNode(QTableWidgetItem *)));
    connect(&m_timer, SIGNAL(timeout()), this, SLOT(slotsTimeHanlde()));
    connect(m_tray->icon(), &QSystemTrayIcon::activated, this, &CMainWindow::slotsTrayActivated);
    connect(ui.m_rbPac, SIGNAL(clicked(bool)), this, SLOT(slotsProxyModeSetting()));
    connect(ui.m_rbGlobal, SIGNAL(clicked(bool)), this, SLOT(slotsProxyModeSetting()));

    ui.m_lbNodeName->installEventFilter(this);
    ui.m_twNodeList->installEventFilter(this);
}

void CMainWindow::slotsSessionChanged(ProxySession::Changes what)
{
    if (what & ProxySession::Link)
        showServiceState();
    if (what & ProxySession::Nodes) {
        if (m_session->nodes().isEmpty())
            resetNodeList();
        else
            refreshNodeTable();
    } else if (what & ProxySession::NodesAgain) {
        // The nodes on show again: rebuilding would only reset the marks.
        markNodeRows();
    }
    if (what & ProxySession::NodeInUse)
        showNodeInUse();
    if (what & ProxySession::Running)
        showRunState();
    refreshTrayMenu();
}

void CMainWindow::showTips(QString message)
{
    const QString now =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    // Both at once, so a percent sequence inside the message stays as it is.
    ui.m_lbTips->setText(QStringLiteral("%1:%2").arg(now, message));
}
