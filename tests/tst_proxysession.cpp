// The proxy session against every order of events: lists that reorder, shrink,
// drop or bring back the node in use, the service coming and going, picks, the
// run button and the tray's, a new port, a new mode, a quit. Each row is played
// on the session alone, and some through the real window against the demo's
// peer; after every step the service has heard exactly what the row says, and
// the session's rules hold: a running proxy has a connected service and a node
// in use, which keeps its row wherever the list puts it and is named while the
// list lacks it; the window and the tray show exactly that.
#include "demo/servicepeer.h"
#include "link/tcpserver.h"
#include "mainwindow/cmainwindow.h"
#include "session/proxysession.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>
#include <memory>

namespace {

// Node "B" and "b" are one node that the service sent with another tag.
NodeRecord node(QChar letter)
{
    const char name = char(letter.toUpper().toLatin1());
    return control::makeNodeRecord(letter.isUpper() ? 1 : 2, quint16(0x0100 + name), "info",
                                   QByteArray("节点") + name);
}

QVector<NodeRecord> nodes(const QString &letters)
{
    QVector<NodeRecord> list;
    for (QChar letter : letters)
        list << node(letter);
    return list;
}

QByteArray bytes(const QVector<NodeRecord> &list)
{
    return QByteArray(reinterpret_cast<const char *>(list.constData()),
                      list.size() * int(sizeof(NodeRecord)));
}

// What the service hears, as a row writes it: "port:2345", "select:B", "start",
// "stop".
QByteArray message(const QString &said)
{
    const QString what = said.section(':', 0, 0);
    const QString arg = said.section(':', 1);
    if (what == "port")
        return bytesOf(control::makeSetListenPort(arg.toInt()));
    if (what == "select")
        return bytesOf(control::makeSelectNode(node(arg.at(0))));
    if (what == "start" || what == "stop")
        return bytesOf(control::makeSwitchProxy(what == "start" ? control::kSwitchStart
                                                                : control::kSwitchStop));
    qFatal("no such message %s", qPrintable(said));
}

} // namespace

class tst_ProxySession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(storesNotPrivate().isEmpty(), qPrintable(storesNotPrivate()));
        qApp->setQuitOnLastWindowClosed(false);
    }

    void everyOrderOfEvents_data()
    {
        QTest::addColumn<bool>("window");
        QTest::addColumn<QString>("steps");

        // Each step is an event, then after ">" what the service hears of it and
        // what the user is told ("lost": the service went while the proxy ran;
        // "back": it came back after that).
        const auto row = [](bool window, const char *steps) {
            QTest::addRow("%s: %s", window ? "window" : "session", steps) << window << steps;
        };
        const char *const inUseDropped =
            "connect>port:1081 list:ABC pick:B>select:B run>start list:AC";
        for (const char *then :
             {"run>stop run list:CAB run>start", "tray-run>stop", "port>port:2345,stop",
              "pick:C>select:C,stop", "disconnect>lost connect>port:1081,back run"})
            row(false, qPrintable(QStringLiteral("%1 %2").arg(inUseDropped, then)));
        row(true, qPrintable(QStringLiteral("%1 run>stop list:BA run>start list:C tray-run>stop "
                                            "list:CB run>start list:A port>port:2345,stop list:AB "
                                            "run>start disconnect>lost connect>port:2345,back run")
                                 .arg(inUseDropped)));
        row(false, "connect>port:1081 list:ABC pick:C>select:C run>start list:CA list:bcA "
                   "pick:b>select:b,stop list:C run");
        row(true, "connect>port:1081 list:AB pick:A>select:A list:BA run>start mode list:AB "
                  "port>port:2345,stop run>start quit");
        row(false, "run port mode connect>port:2345 list:A run pick:A>select:A run>start "
                   "disconnect>lost run connect>port:2345,back run disconnect connect>port:2345");
        // A link that takes nothing more, as a full queue does: no start is claimed.
        row(false, "connect>port:1081 list:A pick:A>select:A jam run unjam run>start");
    }
    void everyOrderOfEvents()
    {
        QFETCH(bool, window);
        QFETCH(QString, steps);

        QFile::remove(proxySettingsPath());
        m_heard.clear();
        m_list.clear();
        m_inUse = QChar();
        m_running = m_up = m_jammed = false;
        if (window) {
            m_window = std::make_unique<CMainWindow>();
            m_peer = std::make_unique<ServicePeer>();
            m_peer->setAutoReconnect(false);
            m_peer->setAutoAnswer(false);
            m_session = m_window->findChild<ProxySession *>();
        } else {
            m_own = std::make_unique<ProxySession>(
                [this](const char *data, quint32 length) {
                    // The link takes nothing while no service is there.
                    if (m_up && !m_jammed)
                        m_heard << QByteArray(data, int(length));
                    return m_up && !m_jammed;
                },
                proxysettings::Values());
            m_session = m_own.get();
        }
        QSignalSpy lost(m_session, &ProxySession::serviceLost);
        QSignalSpy back(m_session, &ProxySession::serviceBack);
        auto done = qScopeGuard([this] {
            m_peer.reset();
            m_window.reset();
            m_own.reset();
        });

        for (const QString &step : steps.split(' ')) {
            const QString event = step.section('>', 0, 0);
            QStringList told = step.section('>', 1).split(',', Qt::SkipEmptyParts);
            const bool toldLost = told.removeAll("lost") > 0;
            const bool toldBack = told.removeAll("back") > 0;
            QList<QByteArray> expected;
            for (const QString &said : told)
                expected << message(said);
            lost.clear();
            back.clear();
            play(event, window);
            if (QTest::currentTestFailed())
                return;
            QCOMPARE(heard(window), expected);

            // The model of the row: what runs is what the service was told.
            if (expected.contains(message("start")))
                m_running = true;
            if (expected.contains(message("stop")) || event == "connect" || event == "disconnect" ||
                event == "quit")
                m_running = false;
            if (event == "connect" || event == "disconnect") {
                m_list.clear();
                m_inUse = QChar();
            }
            if (event == "quit")
                return;
            check(window, step);
            if (QTest::currentTestFailed())
                return;
            // One word to the user per change, none at start.
            QCOMPARE(lost.count(), int(toldLost));
            QCOMPARE(back.count(), int(toldBack));
            if (window && (toldLost || toldBack))
                QCOMPARE(tipsMessage(*m_window),
                         toldBack ? QStringLiteral("服务已重新连接，请选择节点后启动")
                                  : QStringLiteral("服务已断开，代理已停止"));
        }
    }

private:
    void play(const QString &event, bool window)
    {
        const QString arg = event.section(':', 1);
        if (event == "connect" || event == "disconnect") {
            m_up = event == "connect";
            if (!window) {
                m_session->serviceChanged(m_up);
                return;
            }
            if (m_up)
                m_peer->connectToFrontEnd(4000);
            else
                m_peer->disconnectFromFrontEnd();
            QTRY_COMPARE(m_session->isServiceConnected(), m_up);
        } else if (event == "jam" || event == "unjam") {
            m_jammed = event == "jam";
        } else if (event.startsWith("list:")) {
            m_list = arg;
            if (!window) {
                const QVector<NodeRecord> list = nodes(arg);
                m_session->listArrived(list.constData(), list.size());
                return;
            }
            m_peer->sendMessage(control::composeNodeList(1, nodes(arg)));
            QTRY_COMPARE(bytes(m_session->nodes()), bytes(nodes(arg)));
        } else if (event.startsWith("pick:")) {
            const int row = m_list.indexOf(arg);
            m_inUse = arg.at(0).toUpper();
            if (!window) {
                QVERIFY(m_session->pickNode(row));
                return;
            }
            child<QTableWidget>("m_twNodeList")->selectRow(row);
            child<QPushButton>("m_btnNode_ok")->click();
        } else if (event == "run" || event == "tray-run") {
            if (!window)
                m_session->toggleProxy();
            else if (event == "run")
                child<QPushButton>("m_btnRun")->click();
            else
                trayMenu()->actions().at(1)->trigger();
        } else if (event == "port") {
            const int port = m_session->listenPort() == 2345 ? 1081 : 2345;
            if (!window) {
                m_session->setListenPort(port);
                return;
            }
            child<QLineEdit>("m_lePort")->setText(QString::number(port));
            child<QPushButton>("m_btnSetting_ok")->click();
        } else if (event == "mode") {
            const bool pac = !m_session->isPac();
            if (window)
                menuAction(trayMenu(), pac ? "PAC模式" : "全局模式")->trigger();
            else
                m_session->setProxyMode(pac ? UserProxySettings::kPac : UserProxySettings::kGlobal);
            QCOMPARE(m_session->isPac(), pac);
        } else if (event == "quit") {
            if (!window) {
                m_session->quit();
                QVERIFY(!m_session->isRunning());
                return;
            }
            QSignalSpy gone(m_peer.get(), &ServicePeer::disconnected);
            m_window.reset();
            QVERIFY(gone.wait(5000));
        } else {
            QFAIL(qPrintable("no such step: " + event));
        }
    }

    // What the service heard since the last step: through the window, what
    // came before a mark sent after the step.
    QList<QByteArray> heard(bool window)
    {
        if (!window)
            return std::exchange(m_heard, {});
        if (!m_peer->isConnected())
            return {};
        m_window->findChild<TcpServer *>()->sendData("mark", 4);
        if (!QTest::qWaitFor([this] { return m_peer->received().contains("mark"); }, 5000))
            return {"<the mark never came>"};
        QList<QByteArray> said = m_peer->received();
        m_peer->clearReceived();
        said.removeLast();
        return said;
    }

    void check(bool window, const QString &step)
    {
        const ProxySession &session = *m_session;
        const std::optional<NodeRecord> &inUse = session.nodeInUse();
        QCOMPARE(session.isRunning(), m_running);
        QVERIFY(!session.isRunning() || (inUse && session.isServiceConnected()));
        QCOMPARE(bytes(session.nodes()), bytes(nodes(m_list)));
        // The node in use is the one picked, by what the service tells of it
        // whatever its tag, at its row in this list or at none.
        QCOMPARE(inUse.has_value(), !m_inUse.isNull());
        if (inUse)
            QCOMPARE(control::nodeId(*inUse), control::nodeId(node(m_inUse)));
        QCOMPARE(session.nodeInUseRow(), m_list.toUpper().indexOf(m_inUse));
        if (!window)
            return;

        const QString name =
            inUse ? control::fieldText(inUse->country) : QStringLiteral("[请选择节点]");
        QCOMPARE(child<QLabel>("m_lbNodeName")->text(), name);
        QCOMPARE(child<QPushButton>("m_btnRun")->text(),
                 m_running ? QStringLiteral("停止") : QStringLiteral("启动"));
        // The tray names the node it runs, and ticks its row where it has one.
        const QList<QAction *> tray = trayMenu()->actions();
        QVERIFY2(tray.at(0)->text().startsWith(name + (inUse ? " info · " : " · ")),
                 qPrintable(step + ": " + tray.at(0)->text()));
        QVERIFY(tray.at(0)->text().endsWith(m_running ? "运行中" : "已停止"));
        QCOMPARE(tray.at(1)->text(), m_running ? QStringLiteral("停止") : QStringLiteral("启动"));
        const QList<QAction *> picks = tray.at(2)->menu()->actions();
        for (int row = 0; row < m_list.size(); ++row)
            QCOMPARE(picks.at(row)->isChecked(), row == session.nodeInUseRow());
        const QColor red(255, 0, 0);
        auto *table = child<QTableWidget>("m_twNodeList");
        QCOMPARE(table->rowCount(), m_list.isEmpty() ? 20 : m_list.size());
        // The red mark moves with a new list; a pick alone does not move it.
        if (step.startsWith("list:")) {
            for (int row = 0; row < m_list.size(); ++row)
                QCOMPARE(table->item(row, 1)->foreground() == red, row == session.nodeInUseRow());
        }
    }

    template <typename T> T *child(const char *name) { return ::child<T>(*m_window, name); }
    QMenu *trayMenu() { return m_window->findChild<QSystemTrayIcon *>()->contextMenu(); }

    std::unique_ptr<CMainWindow> m_window;
    std::unique_ptr<ServicePeer> m_peer;
    std::unique_ptr<ProxySession> m_own;
    ProxySession *m_session = nullptr;
    QList<QByteArray> m_heard;
    // The row's model: the list's nodes by letter, the node in use, whether the
    // proxy runs and the service is there, and whether the link takes nothing.
    QString m_list;
    QChar m_inUse;
    bool m_running = false;
    bool m_up = false;
    bool m_jammed = false;
};

QTEST_MAIN(tst_ProxySession)
#include "tst_proxysession.moc"
