// The whole road with a real browser: greenlark points the stand-in system
// proxy at the demo service, the demo runs real proxy cores, and headless
// Chromium, set up from what greenlark stored, loads a page through them.
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"
#include "testsupport.h"
#include "trafficsupport.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace {

const QByteArray kNodes("* 1 1001 日本 tokyo-01\n"
                        "* 2 2001 美国 los-angeles-01\n");
const QString kRunning = QStringLiteral("停止");

// Chromium's own traffic (updates, sync, lookups) switched off, a private
// profile each time, and no sandbox, which needs more than root in a
// namespace.
const QStringList kChromiumOptions{
    QStringLiteral("--headless"),
    QStringLiteral("--no-sandbox"),
    QStringLiteral("--disable-gpu"),
    QStringLiteral("--disable-quic"),
    QStringLiteral("--no-first-run"),
    QStringLiteral("--disable-background-networking"),
    QStringLiteral("--disable-component-update"),
    QStringLiteral("--disable-sync"),
    QStringLiteral("--timeout=20000"),
};

} // namespace

class tst_Browser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void pageThroughTheProxy_data();
    void pageThroughTheProxy();

private:
    template <typename T> T *child(const char *name) { return ::child<T>(*m_window, name); }
    QTableWidget *table() { return child<QTableWidget>("m_twNodeList"); }
    void applySettings(bool pac, int port);
    void selectNode(int row);
    QString lastProxyLine() const;
    QStringList proxyArgumentsFromStore(bool pac, int port);
    QString loadPage(const QStringList &proxyArguments);
    QStringList nodesThatLogged(int fromLine) const;

    QElapsedTimer m_clock;
    QString m_chromium;
    QTemporaryDir m_dir;
    int m_loads = 0;
    int m_selectedRow = -1;
    std::unique_ptr<PageServer> m_pages;
    std::unique_ptr<ProcessEndRecorder> m_recorder;
    std::unique_ptr<CMainWindow> m_window;
    std::unique_ptr<DemoRun> m_demo;
};

void tst_Browser::initTestCase()
{
    m_clock.start();
    m_chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    QVERIFY2(!m_chromium.isEmpty(), "chromium is not installed (packages.sh lists it for the "
                                    "tests); ctest -E tst_browser leaves this test out");
    const QString core = DemoRun::corePath();
    QVERIFY2(!core.isEmpty(), "v2ray is not installed (packages.sh lists it for the tests)");
    QVERIFY2(inPrivateNetwork(), "the test addresses are not on loopback: run this test through "
                                 "tests/in-private-network.sh, as CTest does");
    m_pages.reset(new PageServer);
    QVERIFY(m_pages->isListening());

    const QString nodesPath = m_dir.filePath(QStringLiteral("nodes.txt"));
    QFile nodes(nodesPath);
    QVERIFY(nodes.open(QIODevice::WriteOnly) && nodes.write(kNodes) == kNodes.size());
    nodes.close();

    qApp->setQuitOnLastWindowClosed(false);
    QFile::remove(proxySettingsPath());
    m_recorder.reset(new ProcessEndRecorder);
    m_window.reset(new CMainWindow);
    m_window->show();
    m_demo.reset(new DemoRun({QStringLiteral("--core"), core, QStringLiteral("--nodes"), nodesPath,
                              QStringLiteral("--heartbeat"), QStringLiteral("0")}));
    QVERIFY(m_demo->waitForLine(QStringLiteral("SetListenPort port=1081")) >= 0);

    child<QPushButton>("m_btnNode")->click();
    QTRY_COMPARE_WITH_TIMEOUT(table()->item(1, 1)->text(), QStringLiteral("美国"), 10000);
    QVERIFY(m_demo->waitForLine(QStringLiteral("node 1/1001 (日本 tokyo-01) serves")) >= 0);
    QVERIFY(m_demo->waitForLine(QStringLiteral("node 2/2001 (美国 los-angeles-01) serves")) >= 0);
}

void tst_Browser::cleanupTestCase()
{
    m_window.reset();
    if (m_demo) {
        // Kept in the test's own temporary folder, for a look after a failure.
        QFile log(QDir::temp().filePath(QStringLiteral("demo-service.log")));
        if (log.open(QIODevice::WriteOnly))
            log.write(m_demo->lines().join(QLatin1Char('\n')).toUtf8() + '\n');
    }
    m_demo.reset();
    m_recorder.reset();
    QFile::remove(proxySettingsPath());
    qInfo("%d page loads; the whole test took %.1f s", m_loads, m_clock.elapsed() / 1000.0);
}

void tst_Browser::applySettings(bool pac, int port)
{
    child<QPushButton>("m_btnSetting")->click();
    child<QLineEdit>("m_lePort")->setText(QString::number(port));
    child<QRadioButton>(pac ? "m_rbPac" : "m_rbGlobal")->setChecked(true);
    child<QPushButton>("m_btnSetting_ok")->click();
}

void tst_Browser::selectNode(int row)
{
    if (row == m_selectedRow)
        return;
    table()->selectRow(row);
    child<QPushButton>("m_btnNode_ok")->click();
    m_selectedRow = row;
}

QString tst_Browser::lastProxyLine() const
{
    const QStringList lines = m_demo->lines();
    for (int i = lines.size() - 1; i >= 0; --i) {
        if (lines.at(i).startsWith(QLatin1String("proxy on ")) ||
            lines.at(i).startsWith(QLatin1String("proxy stopped")) ||
            lines.at(i).startsWith(QLatin1String("no proxy")))
            return lines.at(i);
    }
    return QString();
}

// What a browser that follows the system proxy takes from it.
QStringList tst_Browser::proxyArgumentsFromStore(bool pac, int port)
{
    const DWORD flags = internetSetting(QStringLiteral("DefaultConnection/Flags")).toUInt();
    if (pac) {
        const QString url =
            internetSetting(QStringLiteral("DefaultConnection/AutoConfigUrl")).toString();
        if (flags != (PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL) ||
            !url.startsWith(QStringLiteral("http://127.0.0.1:%1/pac/?t=").arg(port + 1)))
            return {};
        return {QStringLiteral("--proxy-pac-url=") + url};
    }
    const QString server =
        internetSetting(QStringLiteral("DefaultConnection/ProxyServer")).toString();
    const QString bypass =
        internetSetting(QStringLiteral("DefaultConnection/ProxyBypass")).toString();
    if (flags != (PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY) ||
        server != QStringLiteral("127.0.0.1:%1").arg(port))
        return {};
    return {QStringLiteral("--proxy-server=") + server,
            QStringLiteral("--proxy-bypass-list=") + bypass};
}

// The page's DOM as Chromium loaded it; empty when the load failed.
QString tst_Browser::loadPage(const QStringList &proxyArguments)
{
    ++m_loads;
    const QString profile = m_dir.filePath(QStringLiteral("profile-%1").arg(m_loads));
    QProcess chromium;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), profile);
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    chromium.setProcessEnvironment(environment);
    chromium.setStandardErrorFile(profile + QStringLiteral(".log"));
    chromium.start(
        m_chromium,
        kChromiumOptions + proxyArguments +
            QStringList{
                QStringLiteral("--user-data-dir=") + profile, QStringLiteral("--dump-dom"),
                QStringLiteral("http://%1:%2/").arg(QLatin1String(kTestAddress)).arg(kPagePort)});
    // Waited for with the event loop running: the page server and the window
    // live in it.
    QSignalSpy finished(&chromium, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    if (!finished.wait(60000)) {
        chromium.kill();
        chromium.waitForFinished();
    }
    return QString::fromUtf8(chromium.readAllStandardOutput());
}

// The node servers whose access log holds a request for the page.
QStringList tst_Browser::nodesThatLogged(int fromLine) const
{
    static const QRegularExpression accepted(
        QStringLiteral("^\\[(node [0-9/]+)\\] .* accepted tcp:%1:%2 ")
            .arg(QRegularExpression::escape(QLatin1String(kTestAddress)))
            .arg(kPagePort));
    QStringList nodes;
    const QStringList lines = m_demo->lines();
    for (int i = fromLine; i < lines.size(); ++i) {
        const QRegularExpressionMatch match = accepted.match(lines.at(i));
        if (match.hasMatch() && !nodes.contains(match.captured(1)))
            nodes.append(match.captured(1));
    }
    return nodes;
}

void tst_Browser::pageThroughTheProxy_data()
{
    QTest::addColumn<bool>("pac");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("node"); // the row in the node table
    QTest::addColumn<bool>("running");
    QTest::addColumn<QString>("loggedBy"); // empty: the page must not load

    // In order: each row starts from where the one before left greenlark.
    QTest::newRow("PAC, 日本") << true << 1081 << 0 << true << "node 1/1001";
    QTest::newRow("global, 日本") << false << 1081 << 0 << true << "node 1/1001";
    QTest::newRow("global, stopped") << false << 1081 << 0 << false << QString();
    QTest::newRow("PAC, stopped") << true << 1081 << 0 << false << QString();
    QTest::newRow("PAC, 美国") << true << 1081 << 1 << true << "node 2/2001";
    QTest::newRow("PAC, 美国, new port") << true << 2345 << 1 << true << "node 2/2001";
}

void tst_Browser::pageThroughTheProxy()
{
    QFETCH(bool, pac);
    QFETCH(int, port);
    QFETCH(int, node);
    QFETCH(bool, running);
    QFETCH(QString, loggedBy);

    const int mark = m_demo->lines().size();
    applySettings(pac, port);
    selectNode(node);
    auto *run = child<QPushButton>("m_btnRun");
    if ((run->text() == kRunning) != running)
        run->click();
    QCOMPARE(run->text() == kRunning, running);
    // A request for nodes follows whatever the window sent on the one link, so
    // once the demo has it, it has everything before it.
    child<QPushButton>("m_btnNode_flush")->click();
    QVERIFY(m_demo->waitForLine(QStringLiteral("RequestNodes code=3"), mark) >= 0);
    const QString expected =
        running ? QStringLiteral("proxy on 127.0.0.1:%1 (HTTP) through %2 ").arg(port).arg(loggedBy)
                : QStringLiteral("proxy stopped");
    QTRY_VERIFY2_WITH_TIMEOUT(lastProxyLine().startsWith(expected), qPrintable(lastProxyLine()),
                              20000);

    const QStringList proxyArguments = proxyArgumentsFromStore(pac, port);
    QVERIFY2(!proxyArguments.isEmpty(), "the store does not hold the proxy greenlark set");
    const int before = m_demo->lines().size();
    QElapsedTimer clock;
    clock.start();
    const QString page = loadPage(proxyArguments);
    const QString text = PageServer::pageText(QLatin1String(kTestAddress));
    QCOMPARE(page.contains(text), !loggedBy.isEmpty());
    if (!loggedBy.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(nodesThatLogged(before).contains(loggedBy), 10000);
    QCOMPARE(nodesThatLogged(before), loggedBy.isEmpty() ? QStringList() : QStringList{loggedBy});

    const QStringList logged = nodesThatLogged(before);
    qInfo("%s %s: %s in %.1f s, logged by %s", running ? "running" : "stopped",
          qPrintable(proxyArguments.first()),
          page.contains(text) ? qPrintable(QStringLiteral("\"%1\"").arg(text)) : "no page",
          clock.elapsed() / 1000.0,
          logged.isEmpty() ? "no node server" : qPrintable(logged.join(QStringLiteral(", "))));
}

QTEST_MAIN(tst_Browser)
#include "tst_browser.moc"
