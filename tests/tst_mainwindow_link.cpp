// The main window against the demo service's peer code over real loopback TCP
// on the control port: the road from a node list to a running proxy.
#include "demo/servicepeer.h"
#include "link/controlframe.h"
#include "link/controlmessages.h"
#include "link/tcpserver.h"
#include "mainwindow/cmainwindow.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>
#include <memory>

namespace {

const QByteArray kStart = QByteArray::fromHex("060000000100000001");
const QByteArray kStop = QByteArray::fromHex("060000000100000000");

QVector<NodeRecord> nodes(int count)
{
    static const char *const countries[] = {"日本", "美国", "新加坡", "香港", "德国"};
    QVector<NodeRecord> list;
    for (int i = 0; i < count; ++i)
        list.append(control::makeNodeRecord(quint8(10 + i), quint16(0x0201 + i), "info",
                                            QByteArray(countries[i % 5]) + QByteArray::number(i)));
    return list;
}

// The tray menu as a person reads it: "x" marks a checked entry, "-" a disabled
// one, ">" a submenu, whose entries follow indented.
QStringList menuLines(const QMenu *menu, const QString &indent = QString())
{
    QStringList lines;
    for (const QAction *action : menu->actions()) {
        if (!action->isVisible())
            continue;
        lines << indent + (action->isSeparator() ? QStringLiteral("---") : action->text()) +
                     (action->isChecked() ? " x" : "") + (action->isEnabled() ? "" : " -") +
                     (action->menu() ? " >" : "");
        if (action->menu())
            lines << menuLines(action->menu(), indent + QStringLiteral("  "));
    }
    return lines;
}

} // namespace

class tst_MainWindowLink : public QObject
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
        m_window.reset(new CMainWindow);
        m_window->show();
        m_peer.reset(new ServicePeer);
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

    void linkComesAndGoes()
    {
        QTRY_VERIFY(tickAsleep());
        // The tick wakes for the connection and sends the port before anything else.
        connectPeer();
        // Away from the node page the tick asks for nothing, however empty the list.
        advance(1000, 2);
        child<QPushButton>("m_btnNode_flush")->click();
        QCOMPARE(nextMessage(), kRequestNodes); // and nothing before it

        selectFirstNodeAndStart();
        m_peer->disconnectFromFrontEnd();
        QTRY_VERIFY(child<QLabel>("m_lbBackground")->styleSheet().contains("255, 0, 0"));
        // Every node forgotten, in the window and in the tray.
        QVERIFY(table()->item(0, 0)->text().isEmpty() && table()->item(0, 1)->text().isEmpty());
        QCOMPARE(menuLines(trayMenu()).mid(0, 3),
                 QStringList({"[请选择节点] · 已停止 -", "启动", "节点 - >"}));
        QTRY_VERIFY(tickAsleep());
        child<QPushButton>("m_btnRun")->click();
        QCOMPARE(tips(), QStringLiteral("请选择服务器节点"));

        // The stop never reached the old link; the new one starts with the port,
        // the one set while no service was there.
        child<QPushButton>("m_btnSetting")->click();
        child<QLineEdit>("m_lePort")->setText("2345");
        child<QPushButton>("m_btnSetting_ok")->click();
        m_peer->clearReceived();
        m_taken = 0;
        connectPeer(2345);
    }

    void nodePageRequestsAtOnceAndEverySecond()
    {
        connectPeer();
        QTRY_VERIFY(tickAsleep());
        // A double-click on the node's name opens the node page as its button does.
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        QTest::mouseClick(child<QLabel>("m_lbNodeName"), Qt::LeftButton);
        QCOMPARE(page(), QStringLiteral("m_linkPage")); // a single click is not enough
        QTest::mouseDClick(child<QLabel>("m_lbNodeName"), Qt::LeftButton);
        QCOMPARE(page(), QStringLiteral("m_nodePage"));
        QCOMPARE(nextMessage(), kRequestNodes);

        // While nodes are awaited the tick asks once a second: not a millisecond
        // sooner (a mark sent through the link shows nothing went before it).
        for (int second = 0; second < 2; ++second) {
            advance(999);
            m_window->findChild<TcpServer *>()->sendData("mark", 4);
            QCOMPARE(nextMessage(), QByteArray("mark"));
            platform::setFixedTickCount(++m_tick);
            QCOMPARE(nextMessage(), kRequestNodes);
            QCOMPARE(tips(), QStringLiteral("正在下载服务节点，请稍等..."));
        }

        // A counter that wrapped: a signed difference would hold the requests back
        // for 49 days; the unsigned one asks at once.
        platform::setFixedTickCount(m_tick = 0xFFFFFF00u);
        QCOMPARE(nextMessage(), kRequestNodes);
        platform::setFixedTickCount(m_tick = 0x10);
        QCOMPARE(nextMessage(), kRequestNodes);

        // Fewer than 20 nodes: still asking, but no longer waiting.
        deliverNodes(19);
        m_window->showTips("marker");
        advance(1000);
        QCOMPARE(nextMessage(), kRequestNodes);
        QCOMPARE(tips(), QStringLiteral("marker"));

        // Twenty are enough.
        deliverNodes(20);
        advance(1000, 2);
        QTRY_VERIFY(tickAsleep());
        child<QPushButton>("m_btnNode_flush")->click();
        QCOMPARE(nextMessage(), kRequestNodes); // and nothing before it
    }

    void burstDrainsAndTheNewestListWins_data()
    {
        QTest::addColumn<QByteArrayList>("burst");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("maxTicks");

        QByteArrayList mixed{control::composeNodeList(1, nodes(1))};
        for (const char *other : {"0100000000000000", "0500000000000000", "6300000000000000"})
            mixed << QByteArray::fromHex(other);
        // Lists the window ignores: status 0, count 0, and no whole record.
        QByteArray truncated = control::composeNodeList(1, nodes(2));
        truncated.chop(70);
        mixed << control::composeNodeList(1, nodes(2)) << control::composeNodeList(0, nodes(5))
              << control::composeNodeList(1, {}) << truncated;
        QTest::newRow("other commands and ignored lists around two lists") << mixed << 2 << 1;
        QByteArrayList full;
        for (int i = 0; i < 200; ++i)
            full << control::composeNodeList(1, nodes(324));
        full << control::composeNodeList(1, nodes(323));
        // One message a tick would take 201 ticks.
        QTest::newRow("201 full lists") << full << 323 << 50;
    }

    void burstDrainsAndTheNewestListWins()
    {
        QFETCH(QByteArrayList, burst);
        QFETCH(int, rows);
        QFETCH(int, maxTicks);

        connectPeer();
        QTRY_VERIFY(tickAsleep());
        QByteArray stream;
        for (const QByteArray &message : qAsConst(burst))
            stream += frame::buildFrame(frame::DataFrame, message);
        QSignalSpy ticks(child<QTimer>("m_timer"), &QTimer::timeout);
        m_peer->sendRaw(stream);
        QTRY_COMPARE(table()->rowCount(), rows);
        QVERIFY2(ticks.count() <= maxTicks, qPrintable(QString::number(ticks.count())));
        QTRY_VERIFY(tickAsleep());
    }

    void selection_data()
    {
        QTest::addColumn<int>("listed");      // nodes in the list, 0 for the blank rows
        QTest::addColumn<QList<int>>("rows"); // selected
        QTest::addColumn<QString>("how");     // "ok", "double-click", "Enter"
        QTest::addColumn<int>("picked");      // the node picked, -1 for none

        QTest::newRow("double-click") << 5 << QList<int>{1} << "double-click" << 1;
        QTest::newRow("Enter") << 5 << QList<int>{1} << "Enter" << 1;
        QTest::newRow("OK takes the highest row") << 5 << QList<int>{1, 3} << "ok" << 3;
        QTest::newRow("blank row, OK") << 0 << QList<int>{4} << "ok" << -1;
        QTest::newRow("blank row, double-click") << 0 << QList<int>{0} << "double-click" << -1;
        QTest::newRow("nothing selected, OK") << 5 << QList<int>() << "ok" << -1;
    }

    void selection()
    {
        QFETCH(int, listed);
        QFETCH(QList<int>, rows);
        QFETCH(QString, how);
        QFETCH(int, picked);

        connectPeer();
        if (listed > 0)
            deliverNodes(listed);
        child<QPushButton>("m_btnNode")->click();
        QCOMPARE(nextMessage(), kRequestNodes);
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        m_window->showTips("before");
        const auto select = [&] {
            for (int row : rows)
                table()->selectionModel()->select(table()->model()->index(row, 0),
                                                  QItemSelectionModel::Select |
                                                      QItemSelectionModel::Rows);
        };
        select();
        if (how == QLatin1String("ok")) {
            child<QPushButton>("m_btnNode_ok")->click();
        } else if (how == QLatin1String("Enter")) {
            table()->setFocus();
            table()->setCurrentCell(rows.first(), 1);
            QTest::keyClick(table(), Qt::Key_Return);
        } else {
            const QPoint cell = table()->visualItemRect(table()->item(rows.first(), 1)).center();
            QTest::mouseClick(table()->viewport(), Qt::LeftButton, {}, cell);
            QCOMPARE(page(), QStringLiteral("m_nodePage")); // selected, not yet chosen
            QTest::mouseDClick(table()->viewport(), Qt::LeftButton, {}, cell);
        }
        QCOMPARE(page(), QStringLiteral("m_linkPage"));
        if (picked < 0) {
            // Nothing sent, shown or said.
            QCOMPARE(child<QLabel>("m_lbNodeName")->text(), QStringLiteral("[请选择节点]"));
            QCOMPARE(tips(), QStringLiteral("before"));
            child<QPushButton>("m_btnNode_flush")->click();
            QCOMPARE(nextMessage(), kRequestNodes);
            return;
        }
        const QString name = control::fieldText(nodes(listed).at(picked).country);
        QCOMPARE(nextMessage(), bytesOf(control::makeSelectNode(nodes(listed).at(picked))));
        QCOMPARE(child<QLabel>("m_lbNodeName")->text(), name);
        QCOMPARE(table()->item(2, 0)->text(), QStringLiteral("3"));

        // The red mark follows the node in use at the next list, the same list
        // again included, wherever the selection is; of the selection the highest
        // row survives, by number.
        const auto redRows = [this] {
            const QColor red(255, 0, 0);
            QList<int> marked;
            for (int row = 0; row < table()->rowCount(); ++row) {
                if (table()->item(row, 0)->foreground() == red &&
                    table()->item(row, 1)->foreground() == red)
                    marked << row;
            }
            return marked;
        };
        QVERIFY(redRows().isEmpty());
        rows = {0, 4};
        select();
        m_peer->sendMessage(control::composeNodeList(1, nodes(listed)));
        QTRY_COMPARE(redRows(), QList<int>{picked});
        select(); // again: the same list kept only the highest row
        deliverNodes(6);
        QCOMPARE(redRows(), QList<int>{picked});
        const QModelIndexList kept = table()->selectionModel()->selectedRows();
        QVERIFY(kept.size() == 1 && kept.first().row() == 4);
        deliverNodes(4);
        QVERIFY(table()->selectionModel()->selectedRows().isEmpty());
    }

    void trayMenuFollowsTheWindow()
    {
        connectPeer();
        // At most 20 nodes; the rest are on the node page.
        deliverNodes(22);
        QStringList lines = menuLines(trayMenu());
        QCOMPARE(lines.mid(21, 4),
                 QStringList({"  香港18 info", "  德国19 info", "  ---", "  更多…"}));

        table()->selectRow(1);
        child<QPushButton>("m_btnNode_ok")->click();
        child<QPushButton>("m_btnRun")->click();
        lines = menuLines(trayMenu());
        QCOMPARE(lines.mid(0, 2), QStringList({"美国1 info · 运行中 -", "停止"}));
        QCOMPARE(lines.at(4), QStringLiteral("  美国1 info x"));

        // 更多… opens the node page and asks for nodes, as its button does.
        QCOMPARE(nextMessage(), bytesOf(control::makeSelectNode(nodes(22).at(1))));
        QCOMPARE(nextMessage(), kStart);
        menuAction(trayMenu(), "更多…")->trigger();
        QCOMPARE(page(), QStringLiteral("m_nodePage"));
        QCOMPARE(nextMessage(), kRequestNodes);

        // Its picks do what the window's do: a new node stops the proxy, a new mode
        // is applied, stored and shown on the setting page. The pick is that node
        // alone, whatever the node page has selected and whatever keys are held.
        table()->selectRow(3);
        QTest::keyPress(m_window->windowHandle(), Qt::Key_Control, Qt::ControlModifier);
        menuAction(trayMenu(), "新加坡2 info")->trigger();
        QTest::keyRelease(m_window->windowHandle(), Qt::Key_Control);
        QCOMPARE(nextMessage(), bytesOf(control::makeSelectNode(nodes(22).at(2))));
        QCOMPARE(nextMessage(), kStop);
        QCOMPARE(child<QLabel>("m_lbNodeName")->text(), QStringLiteral("新加坡2"));
        QCOMPARE(page(), QStringLiteral("m_linkPage"));
        menuAction(trayMenu(), "PAC模式")->trigger();
        QVERIFY(child<QRadioButton>("m_rbPac")->isChecked());
        QCOMPARE(QSettings(proxySettingsPath(), QSettings::IniFormat).value("ProxyMode").toInt(),
                 2);
        QVERIFY(internetSetting("DefaultConnection/AutoConfigUrl")
                    .toString()
                    .startsWith("http://127.0.0.1:1082/pac/"));

        // A shorter list leaves nothing of the longer one behind; the node in
        // use it lacks is still named.
        QVector<NodeRecord> without = nodes(4);
        without.remove(2);
        m_peer->sendMessage(control::composeNodeList(1, without));
        QTRY_COMPARE(table()->rowCount(), 3);
        QCOMPARE(menuLines(trayMenu()).mid(0, 7),
                 QStringList({"新加坡2 info · 已停止 -", "启动", "节点 >", "  日本0 info",
                              "  美国1 info", "  香港3 info", "模式 >"}));
    }

private:
    void connectPeer(int port = 1081)
    {
        QSignalSpy connected(m_peer.get(), &ServicePeer::connected);
        m_peer->connectToFrontEnd(4000);
        QVERIFY(connected.wait(5000));
        QTRY_VERIFY(child<QLabel>("m_lbBackground")->styleSheet().contains("0, 170, 0"));
        // The colour in words too.
        QCOMPARE(child<QLabel>("m_lbBackground")->accessibleName(), QStringLiteral("服务已连接"));
        QCOMPARE(nextMessage(), bytesOf(control::makeSetListenPort(port)));
    }

    QByteArray nextMessage()
    {
        if (m_peer->received().size() <= m_taken &&
            !QSignalSpy(m_peer.get(), &ServicePeer::messageReceived).wait(5000))
            return QByteArray("<nothing arrived>");
        return m_peer->received().at(m_taken++);
    }

    // Each step ends in a tick, whether or not the timer would be running then.
    void advance(DWORD ms, int ticks = 1)
    {
        for (int i = 0; i < ticks; ++i) {
            m_tick += ms;
            platform::setFixedTickCount(m_tick);
            QMetaObject::invokeMethod(m_window.get(), "slotsTimeHanlde");
        }
    }

    void deliverNodes(int count)
    {
        m_peer->sendMessage(control::composeNodeList(1, nodes(count)));
        QTRY_COMPARE(table()->rowCount(), count);
        QTRY_COMPARE(table()->item(0, 1)->text(), control::fieldText(nodes(count).at(0).country));
    }

    void selectFirstNodeAndStart()
    {
        deliverNodes(3);
        table()->selectRow(0);
        child<QPushButton>("m_btnNode_ok")->click();
        QCOMPARE(nextMessage(), bytesOf(control::makeSelectNode(nodes(3).at(0))));
        child<QPushButton>("m_btnRun")->click();
        QCOMPARE(nextMessage(), kStart);
    }

    template <typename T> T *child(const char *name) { return ::child<T>(*m_window, name); }
    QString tips() const { return tipsMessage(*m_window); }
    QString page() { return child<QStackedWidget>("m_swFun")->currentWidget()->objectName(); }
    bool tickAsleep() { return !child<QTimer>("m_timer")->isActive(); }
    QTableWidget *table() { return child<QTableWidget>("m_twNodeList"); }
    QMenu *trayMenu() { return m_window->findChild<QSystemTrayIcon *>()->contextMenu(); }

    std::unique_ptr<ServicePeer> m_peer;
    std::unique_ptr<CMainWindow> m_window;
    int m_taken = 0;
    DWORD m_tick = 0;
    QElapsedTimer m_clock;
    DWORD m_firstTick = 0;
};

QTEST_MAIN(tst_MainWindowLink)
#include "tst_mainwindow_link.moc"
