// The proxy session against every order of events: lists that reorder, shrink,
// drop or bring back the node in use, the service coming and going, picks, the
// run button and the tray's, a new port, a new mode, a quit. Each row is played
// through the real window against the demo's peer over loopback TCP, the road
// the program takes; after every step the service has heard exactly what
// the row says, and the session's rules hold: a running proxy has a connected
// service and a node in use, which keeps its row wherever the list puts it and
// is named while the list lacks it; the window and the tray show exactly that.
// The window's rows take its own roads too: the node page's requests and their
// pace, the gestures that pick a node, the tray menu.
#include "demo/servicepeer.h"
#include "link/controlframe.h"
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
// "stop", "request" (nodes).
QByteArray message(const QString &said)
{
    const QString what = said.section(':', 0, 0);
    const QString arg = said.section(':', 1);
    if (what == "request")
        return kRequestNodes;
    if (what == "port")
        return bytesOf(control::makeSetListenPort(arg.toInt()));
    if (what == "select")
        return bytesOf(control::makeSelectNode(node(arg.at(0))));
    if (what == "start" || what == "stop") // RunAction 1 or 0
        return QByteArray::fromHex(what == "start" ? "060000000100000001" : "060000000100000000");
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
        m_clock.start();
        m_firstTick = GetTickCount();
    }

    void init()
    {
        QFile::remove(proxySettingsPath());
        // Just below 2^31: a counter cut short of 32 bits would wrap within the
        // first second, and its requests would come early.
        m_tick = 0x7FFFFE00u;
        platform::setFixedTickCount(m_tick);
        m_taken = 0;
        m_window = std::make_unique<CMainWindow>();
        m_window->show();
        m_session = m_window->findChild<ProxySession *>();
        m_list.clear();
        m_inUse = QChar();
        m_running = m_up = false;
        m_jammed = 0;
        m_peer = std::make_unique<ServicePeer>();
        m_peer->setAutoReconnect(false);
        m_peer->setAutoAnswer(false);
    }

    void cleanup()
    {
        m_peer.reset();
        m_window.reset();
        platform::setFixedTickCount(std::nullopt);
        // Let go, the counter runs with the clock again, in milliseconds.
        QVERIFY(qAbs(qint64(DWORD(GetTickCount() - m_firstTick)) - m_clock.elapsed()) < 200);
    }

    void everyOrderOfEvents_data()
    {
        QTest::addColumn<QString>("steps");

        // Each step is an event, then after ">" what the service hears of it and
        // what the user is told ("lost": the service went while the proxy ran;
        // "back": it came back after that).
        const auto row = [](const char *steps) { QTest::newRow(steps) << QString(steps); };
        // Each gesture while the node in use is missing from the list.
        row("connect>port:1081 list:ABC ok:B>select:B run>start list:AC run>stop run "
            "list:BA run>start list:C tray-run>stop list:CB run>start list:A "
            "port>port:2345,stop list:AB run>start list:AC ok:C>select:C,stop "
            "run>start disconnect>lost port connect>port:1081,back run");
        row("connect>port:1081 list:ABC ok:C>select:C run>start list:CA list:bcA "
            "ok:b>select:b,stop list:C run");
        row("connect>port:1081 list:AB ok:A>select:A list:BA run>start mode list:AB "
            "port>port:2345,stop run>start quit");
        row("run port mode connect>port:2345 list:A run ok:A>select:A run>start "
            "disconnect>lost run connect>port:2345,back run disconnect connect>port:2345");
        // A link that takes nothing more, as a full queue does: no start is claimed.
        row("connect>port:1081 list:A ok:A>select:A jam run unjam enter-run>start");
        // The node page asks at once, then once a second while it has fewer than 20
        // nodes: not a millisecond sooner, even where the counter passes 2^31 (a
        // counter cut short would wrap there), nor held back by one that wrapped
        // (a signed difference would wait 49 days).
        row("connect>port:1081 name-click name-dclick>request tick:999 tick:1>request "
            "tick:999 tick:1>request clock:FFFFFF00>request clock:10>request "
            "list:ABCDEFGHIJKLMNOPQRS tick:1000>request list:ABCDEFGHIJKLMNOPQRST tick:1000 "
            "tick:1000 flush>request");
        // The node page's gestures: a double-click (a single click selects only),
        // Enter and OK pick the highest row selected; a blank row or none picks
        // nothing. Away from the node page nothing is asked. A new list marks the
        // node in use, the same list again too, and keeps the highest row
        // selected, by number.
        row("connect>port:1081 name-dclick>request ok:4 tick:1000 tick:1000 "
            "name-dclick>request dclick:0 list:ABCDE name-dclick>request ok: "
            "name-dclick>request dclick:B>select:B name-dclick>request enter:C>select:C "
            "name-dclick>request ok:BD>select:D list:ABCDE sel:AE list:ABCDEF kept:E "
            "list:ABCD kept:");
        // A node page open before the service comes: its coming wakes the tick.
        row("name-dclick asleep connect>port:1081 awake tick:1000>request");
        // A burst of lists and other messages in one stream.
        row("connect>port:1081 asleep burst asleep");
        // The tray lists 20 nodes at most, then 更多…, which opens the node page.
        row("connect>port:1081 list:ABCDEFGHIJKLMNOPQRSTUV ok:B>select:B run>start "
            "more>request tray-pick:C>select:C,stop mode list:ABD");
    }
    void everyOrderOfEvents()
    {
        QFETCH(QString, steps);

        for (const QString &step : steps.split(' ')) {
            const QString event = step.section('>', 0, 0);
            QStringList told = step.section('>', 1).split(',', Qt::SkipEmptyParts);
            const bool toldLost = told.removeAll("lost") > 0;
            const bool toldBack = told.removeAll("back") > 0;
            QList<QByteArray> expected;
            for (const QString &said : told)
                expected << message(said);
            m_window->showTips("marker");
            play(event);
            if (QTest::currentTestFailed())
                return;
            QCOMPARE(heard(), expected);

            // The model of the row: what runs is what the service was told.
            m_running = expected.contains(message("start")) ||
                        (m_running && !expected.contains(message("stop")));
            if (event == "quit")
                return;
            check(step);
            if (QTest::currentTestFailed())
                return;
            // One word to the user per change, none at start.
            QCOMPARE(tips() == QStringLiteral("服务已断开，代理已停止"), toldLost);
            QCOMPARE(tips() == QStringLiteral("服务已重新连接，请选择节点后启动"), toldBack);
        }
    }

private:
    void play(const QString &event)
    {
        const QString arg = event.section(':', 1);
        if (event == "connect" || event == "disconnect") {
            // Either way the service starts afresh: nothing runs, nothing is listed.
            m_up = event == "connect";
            m_running = false;
            m_list.clear();
            m_inUse = QChar();
            if (m_up)
                m_peer->connectToFrontEnd(4000);
            else
                m_peer->disconnectFromFrontEnd();
            QTRY_COMPARE(m_session->isServiceConnected(), m_up);
        } else if (event == "jam") {
            // A link that takes nothing more: its send queue full. Nothing runs the
            // event loop before the next step, so the queue stays full for it.
            while (m_window->findChild<TcpServer *>()->sendData("jam", 3))
                ++m_jammed;
        } else if (event == "unjam") {
            QTRY_COMPARE_WITH_TIMEOUT(m_peer->received().size(), m_taken + m_jammed, 60000);
            m_taken += std::exchange(m_jammed, 0);
        } else if (event.startsWith("list:")) {
            m_list = arg;
            m_peer->sendMessage(control::composeNodeList(1, nodes(arg)));
            QTRY_COMPARE(bytes(m_session->nodes()), bytes(nodes(arg)));
        } else if (event == "burst") {
            // 200 full lists, other commands, a list of two, then lists the window
            // ignores (status 0, count 0, no whole record), in one stream: drained
            // within a few ticks (one message a tick would take 207), the newest
            // list taken wins.
            QByteArray stream =
                frame::buildFrame(frame::DataFrame,
                                  control::composeNodeList(1, nodes(QString(324, 'A'))))
                    .repeated(200);
            for (const QByteArray &message :
                 {QByteArray::fromHex("0100000000000000"), QByteArray::fromHex("6300000000000000"),
                  control::composeNodeList(1, nodes("AB")), control::composeNodeList(0, nodes("C")),
                  control::composeNodeList(1, {}),
                  control::composeNodeList(1, nodes("D")).chopped(1)})
                stream += frame::buildFrame(frame::DataFrame, message);
            QSignalSpy ticks(child<QTimer>("m_timer"), &QTimer::timeout);
            m_list = "AB";
            m_peer->sendRaw(stream);
            QTRY_COMPARE(bytes(m_session->nodes()), bytes(nodes(m_list)));
            QVERIFY2(ticks.count() <= 50, qPrintable(QString::number(ticks.count())));
        } else if (event.startsWith("tray-pick:")) {
            const int row = m_list.indexOf(arg);
            m_inUse = arg.at(0).toUpper();
            // That node alone, whatever the node page has selected and whatever
            // keys are held, as a double-click on its row.
            table()->selectRow(row + 1);
            QTest::keyPress(m_window->windowHandle(), Qt::Key_Control, Qt::ControlModifier);
            trayMenu()->actions().at(2)->menu()->actions().at(row)->trigger();
            QTest::keyRelease(m_window->windowHandle(), Qt::Key_Control);
            QCOMPARE(page(), QStringLiteral("m_linkPage"));
        } else if (event.startsWith("tick:") || event.startsWith("clock:")) {
            // A tick that late, or at that time, whether or not the timer would run then.
            m_tick = event.startsWith("tick:") ? m_tick + arg.toUInt() : arg.toUInt(nullptr, 16);
            platform::setFixedTickCount(m_tick);
            QMetaObject::invokeMethod(m_window.get(), "slotsTimeHanlde");
        } else if (event == "asleep" || event == "awake") {
            QTRY_COMPARE(tickAsleep(), event == "asleep");
        } else if (event == "flush") {
            child<QPushButton>("m_btnNode_flush")->click();
        } else if (event.startsWith("name-")) {
            // A double-click on the node's name opens the node page as its button
            // does; a single click does not.
            QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
            if (event == "name-click")
                QTest::mouseClick(child<QLabel>("m_lbNodeName"), Qt::LeftButton);
            else
                QTest::mouseDClick(child<QLabel>("m_lbNodeName"), Qt::LeftButton);
            QCOMPARE(page(), event == "name-click" ? "m_linkPage" : "m_nodePage");
        } else if (QStringList{"ok", "dclick", "enter"}.contains(event.section(':', 0, 0)) ||
                   event.startsWith("sel:")) {
            // Rows by their node's letter, or by number where the list has none. A
            // gesture picks with those rows alone selected; "sel" adds them.
            QList<int> rows;
            for (QChar c : arg)
                rows << (c.isDigit() ? c.digitValue() : m_list.indexOf(c));
            if (!event.startsWith("sel:"))
                table()->clearSelection();
            for (int row : rows)
                table()->setRangeSelected({row, 0, row, 1}, true);
            if (event.startsWith("sel:"))
                return;
            const int top = rows.isEmpty() ? -1 : *std::max_element(rows.begin(), rows.end());
            if (top >= 0 && top < m_list.size())
                m_inUse = m_list.at(top).toUpper();
            if (event.startsWith("ok:")) {
                child<QPushButton>("m_btnNode_ok")->click();
            } else if (event.startsWith("enter:")) {
                table()->setFocus();
                table()->setCurrentCell(rows.first(), 1);
                QTest::keyClick(table(), Qt::Key_Return);
            } else {
                const QPoint cell =
                    table()->visualItemRect(table()->item(rows.first(), 1)).center();
                QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, cell);
                QCOMPARE(page(), QStringLiteral("m_nodePage")); // selected, not yet chosen
                QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, cell);
            }
            QCOMPARE(page(), QStringLiteral("m_linkPage"));
        } else if (event.startsWith("kept:")) {
            // What a new list left selected.
            const QModelIndexList kept = table()->selectionModel()->selectedRows();
            QCOMPARE(kept.size(), arg.size());
            QVERIFY(kept.isEmpty() || kept.first().row() == m_list.indexOf(arg));
        } else if (event == "more") {
            menuAction(trayMenu(), "更多…")->trigger();
            QCOMPARE(page(), QStringLiteral("m_nodePage"));
        } else if (event == "run" || event == "tray-run" || event == "enter-run") {
            // Clicked, or Enter where the button has the focus.
            auto *run = child<QPushButton>("m_btnRun");
            run->setFocus();
            if (event == "run")
                run->click();
            else if (event == "enter-run")
                QTest::keyClick(run, Qt::Key_Return);
            else
                trayMenu()->actions().at(1)->trigger();
        } else if (event == "port") {
            const int port = m_session->listenPort() == 2345 ? 1081 : 2345;
            child<QLineEdit>("m_lePort")->setText(QString::number(port));
            child<QPushButton>("m_btnSetting_ok")->click();
        } else if (event == "mode") {
            const bool pac = !m_session->isPac();
            menuAction(trayMenu(), pac ? "PAC模式" : "全局模式")->trigger();
            QCOMPARE(m_session->isPac(), pac);
            // The tray's pick is in force, stored and shown on the setting page too.
            QCOMPARE(storedOptions().flags, DWORD(pac ? 5 : 3));
            QVERIFY(child<QRadioButton>(pac ? "m_rbPac" : "m_rbGlobal")->isChecked());
            QCOMPARE(
                QSettings(proxySettingsPath(), QSettings::IniFormat).value("ProxyMode").toInt(),
                pac ? 2 : 1);
        } else if (event == "quit") {
            QSignalSpy gone(m_peer.get(), &ServicePeer::disconnected);
            m_window.reset();
            QVERIFY(gone.wait(5000));
        } else {
            QFAIL(qPrintable("no such step: " + event));
        }
    }

    // What the service heard since the last step: what came before a mark sent
    // after the step. A jammed link takes no mark, and nothing else either.
    QList<QByteArray> heard()
    {
        if (!m_peer->isConnected() || m_jammed)
            return {};
        m_window->findChild<TcpServer *>()->sendData("mark", 4);
        QList<QByteArray> said;
        for (QByteArray next = nextMessage(); next != "mark"; next = nextMessage()) {
            said << next;
            if (next == "<nothing arrived>")
                break;
        }
        return said;
    }

    void check(const QString &step)
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

        const QString name =
            inUse ? control::fieldText(inUse->country) : QStringLiteral("[请选择节点]");
        QCOMPARE(child<QLabel>("m_lbNodeName")->text(), name);
        QCOMPARE(child<QPushButton>("m_btnRun")->text(),
                 m_running ? "停止" : QStringLiteral("启动"));
        // The service's state in words too, not in colour alone.
        QCOMPARE(child<QLabel>("m_lbBackground")->accessibleName(),
                 m_up ? QStringLiteral("服务已连接") : "服务未连接");
        // The tray names the node it runs, and ticks its row where it has one.
        const QList<QAction *> tray = trayMenu()->actions();
        QCOMPARE(tray.at(0)->text(),
                 name + (inUse ? " info · " : " · ") + (m_running ? "运行中" : "已停止"));
        QCOMPARE(tray.at(2)->isEnabled(), !m_list.isEmpty());
        const QList<QAction *> picks = tray.at(2)->menu()->actions();
        const int inUseRow = session.nodeInUseRow();
        for (int row = 0; row < 20; ++row) {
            QCOMPARE(picks.at(row)->isVisible(), row < m_list.size());
            QVERIFY(row >= m_list.size() || picks.at(row)->isChecked() == (row == inUseRow));
        }
        QCOMPARE(picks.last()->isVisible(), m_list.size() > 20);
        // Numbered from 1; the blank rows of an empty page are not.
        QCOMPARE(table()->rowCount(), m_list.isEmpty() ? 20 : m_list.size());
        QCOMPARE(table()->item(0, 0)->text() + table()->item(0, 1)->text(),
                 m_list.isEmpty() ? QString() : "1节点" + m_list.left(1).toUpper());
        // The red mark moves with a new list; a pick alone does not move it.
        if (step.startsWith("list:"))
            QCOMPARE(redRows(), inUseRow < 0 ? QList<int>() : QList<int>({inUseRow, inUseRow}));
    }

    // The row of each red cell: a row marked whole shows twice.
    QList<int> redRows()
    {
        QList<int> marked;
        for (int row = 0; row < table()->rowCount(); ++row) {
            for (int column : {0, 1}) {
                if (table()->item(row, column)->foreground() == QColor(255, 0, 0))
                    marked << row;
            }
        }
        return marked;
    }

    QByteArray nextMessage()
    {
        if (m_peer->received().size() <= m_taken &&
            !QSignalSpy(m_peer.get(), &ServicePeer::messageReceived).wait(5000))
            return QByteArray("<nothing arrived>");
        return m_peer->received().at(m_taken++);
    }

    template <typename T> T *child(const char *name) { return ::child<T>(*m_window, name); }
    QString tips() const { return tipsMessage(*m_window); }
    QString page() { return child<QStackedWidget>("m_swFun")->currentWidget()->objectName(); }
    bool tickAsleep() { return !child<QTimer>("m_timer")->isActive(); }
    QTableWidget *table() { return child<QTableWidget>("m_twNodeList"); }
    QMenu *trayMenu() { return m_window->findChild<QSystemTrayIcon *>()->contextMenu(); }

    std::unique_ptr<CMainWindow> m_window;
    std::unique_ptr<ServicePeer> m_peer;
    ProxySession *m_session = nullptr;
    int m_taken = 0;
    DWORD m_tick = 0;
    QElapsedTimer m_clock;
    DWORD m_firstTick = 0;
    // The row's model: the list's nodes by letter, the node in use, whether the
    // proxy runs and the service is there, and whether the link takes nothing.
    QString m_list;
    QChar m_inUse;
    bool m_running = false;
    bool m_up = false;
    int m_jammed = 0; // messages that fill the link's send queue
};

QTEST_MAIN(tst_ProxySession)
#include "tst_proxysession.moc"
