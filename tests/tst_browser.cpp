// Real traffic through the demo service's proxy cores, in the private network
// and process namespace that tests/in-private-network.sh makes. CTest runs it
// as two tests: tst_democore, what the node servers let through and that every
// core ends with the demo, also after greenlark's exit has ended them all from
// outside; and tst_browser, the whole road, where greenlark points the stand-in
// system proxy at the demo and headless Chromium, set up from what greenlark
// stored, loads a page through it.
#include "link/controlframe.h"
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"
#include "testsupport.h"
#include "tools/nodesfile.h"
#include "tools/proxycores.h"

#include <QLineEdit>
#include <QNetworkAccessManager>
#include <QNetworkInterface>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QPushButton>
#include <QRadioButton>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

// The address the pages are served on, in the range the node servers may
// reach, and one outside it; in-private-network.sh puts both on loopback.
const QString kTestAddress = QStringLiteral("198.18.0.1");
const QString kOutsideAddress = QStringLiteral("192.0.2.1");
constexpr quint16 kPagePort = 8080;

QString pageText(const QString &address)
{
    return QStringLiteral("greenlark test page at %1:%2").arg(address).arg(kPagePort);
}

// Answers every request on every local IPv4 address with a page that names the
// address it was reached on.
class PageServer : public QTcpServer
{
public:
    PageServer()
    {
        listen(QHostAddress::AnyIPv4, kPagePort);
        connect(this, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, [socket] {
                    // One request a connection, answered once its head is in.
                    if (!socket->peek(64 * 1024).contains("\r\n\r\n"))
                        return;
                    socket->readAll();
                    const QByteArray page = pageText(socket->localAddress().toString()).toUtf8();
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: "
                                  "close\r\nContent-Length: " +
                                  QByteArray::number(page.size()) + "\r\n\r\n" + page);
                    socket->disconnectFromHost();
                });
            }
        });
    }
};

const QString kCore = QStandardPaths::findExecutable(QStringLiteral("v2ray"));

// The v2ray processes alive: in this namespace, all of them are the test's.
QStringList coresAlive()
{
    QStringList alive;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll() == "v2ray\n")
            alive.append(pid);
    }
    return alive;
}

// The demo service built with the tests ($GREENLARK_DEMO_SERVICE) as a child,
// with its log kept line by line.
struct DemoRun
{
    DemoRun()
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&process, &QProcess::readyRead, [this] {
            while (process.canReadLine())
                lines.append(QString::fromUtf8(process.readLine()).trimmed());
        });
        process.start(
            qEnvironmentVariable("GREENLARK_DEMO_SERVICE"),
            {QStringLiteral("--core"), kCore, QStringLiteral("--heartbeat"), QStringLiteral("0")});
    }
    // The first line from `from` on that holds `text`, or -1.
    int find(const QString &text, int from = 0) const
    {
        return lines.indexOf(QRegularExpression(".*" + QRegularExpression::escape(text) + ".*"),
                             from);
    }

    QStringList lines; // before the process, which may still read as it goes
    QProcess process;
};

} // namespace

class tst_Browser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void nodeServerRouting_data();
    void nodeServerRouting();
    void coresEndWithTheDemo_data();
    void coresEndWithTheDemo();
    void pageThroughTheProxy_data();
    void pageThroughTheProxy();

private:
    template <typename T> T *child(const char *name) { return ::child<T>(*m_window, name); }

    PageServer m_pages;
    ProcessEndRecorder m_recorder;
    std::unique_ptr<DemoRun> m_demo;
    std::unique_ptr<CMainWindow> m_window;
};

void tst_Browser::initTestCase()
{
    QVERIFY2(!kCore.isEmpty() && m_pages.isListening() &&
                 QNetworkInterface::allAddresses().contains(QHostAddress(kOutsideAddress)),
             "needs v2ray (packages.sh lists it for the tests) and the test addresses on "
             "loopback: run it through tests/in-private-network.sh, as CTest does");
}

void tst_Browser::cleanupTestCase()
{
    QFile::remove(proxySettingsPath());
}

void tst_Browser::nodeServerRouting_data()
{
    QTest::addColumn<bool>("allowInternet");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("reachedAs"); // the address the page names; empty: blocked

    const QString loopback = QStringLiteral("127.0.0.1");
    QTest::newRow("test range") << false << kTestAddress << kTestAddress;
    QTest::newRow("loopback") << false << loopback << loopback;
    QTest::newRow("localhost by name") << false << "localhost" << loopback;
    QTest::newRow("elsewhere") << false << kOutsideAddress << QString();
    // Never looked up: a name could resolve into an allowed range.
    QTest::newRow("a name elsewhere") << false << "greenlark.test" << QString();
    QTest::newRow("elsewhere, internet allowed") << true << kOutsideAddress << kOutsideAddress;
}

void tst_Browser::nodeServerRouting()
{
    QFETCH(bool, allowInternet);
    QFETCH(QString, host);
    QFETCH(QString, reachedAs);

    QStringList log;
    ProxyCores cores(kCore, allowInternet);
    connect(&cores, &ProxyCores::line, this, [&log](const QString &line) { log.append(line); });
    QVERIFY(cores.startNodeServers({control::makeNodeRecord(1, 1001, "tokyo-01", "日本")}));
    cores.setListenPort(1081);
    cores.selectNode(1, 1001);
    cores.switchProxy(true);
    QTRY_VERIFY_WITH_TIMEOUT(log.join('\n').contains("proxy on 127.0.0.1:1081"), 20000);

    QNetworkAccessManager http;
    http.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), 1081));
    QNetworkReply *reply =
        http.get(QNetworkRequest(QStringLiteral("http://%1:%2/").arg(host).arg(kPagePort)));
    QVERIFY(QSignalSpy(reply, &QNetworkReply::finished).wait(10000));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toString() + ' ' +
                 reply->readAll(),
             reachedAs.isEmpty() ? "403 " : "200 " + pageText(reachedAs));
    // The node server, not the client alone, saw the request.
    const QString accepted = QStringLiteral("accepted tcp:%1:%2 ").arg(host).arg(kPagePort);
    QTRY_VERIFY_WITH_TIMEOUT(!log.filter(accepted).filter("[node 1/1001] ").isEmpty(), 5000);
}

void tst_Browser::coresEndWithTheDemo_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_Browser::coresEndWithTheDemo()
{
    QFETCH(int, signal);

    // The namespace is the test's own, so the front-end's port is free.
    QTcpServer frontEnd;
    QVERIFY(frontEnd.listen(QHostAddress::LocalHost, 4000));
    DemoRun demo;
    QVERIFY(frontEnd.waitForNewConnection(20000));
    QTcpSocket *link = frontEnd.nextPendingConnection();
    auto send = [link](const auto &message) {
        link->write(frame::buildFrame(frame::DataFrame, bytesOf(message)));
    };
    send(control::makeSetListenPort(1081));
    send(control::makeSelectNode(nodesfile::sampleNodes().first()));
    send(control::makeSwitchProxy(control::kSwitchStart));
    QTRY_VERIFY_WITH_TIMEOUT(demo.find("proxy on 127.0.0.1:1081") >= 0, 20000);
    // The sample's four node servers and the client.
    QCOMPARE(coresAlive().size(), 5);

    // greenlark's exit ends every v2ray at once.
    for (const QString &pid : coresAlive())
        ::kill(pid.toInt(), SIGKILL);
    int ended = -1;
    QTRY_VERIFY_WITH_TIMEOUT((ended = demo.find(" ended: ")) >= 0, 20000);
    QVERIFY2(demo.lines.at(ended).contains("client (killed)"), qPrintable(demo.lines.at(ended)));
    // A round trip after the report: by then nothing was started again, and
    // the five ends made one line.
    send(control::makeRequestNodes());
    QTRY_VERIFY_WITH_TIMEOUT(demo.find("answered with NodeList", ended) >= 0, 20000);
    QCOMPARE(coresAlive(), QStringList());
    QCOMPARE(demo.lines.filter(" ended: ").size(), 1);

    send(control::makeSwitchProxy(control::kSwitchStart));
    QTRY_VERIFY_WITH_TIMEOUT(demo.find("proxy on 127.0.0.1:1081", ended) >= 0, 20000);
    QCOMPARE(coresAlive().size(), 5);
    ::kill(demo.process.processId(), signal);
    QVERIFY(demo.process.waitForFinished(20000));
    QVERIFY(demo.process.exitStatus() == QProcess::NormalExit && demo.process.exitCode() == 0);
    QCOMPARE(coresAlive(), QStringList());
}

void tst_Browser::pageThroughTheProxy_data()
{
    QTest::addColumn<bool>("pac");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("node");         // the row in the node table
    QTest::addColumn<QString>("loggedBy"); // empty: stopped, the page must not load

    // In order: each row starts from where the one before left greenlark,
    // running from the first row to the stop. Of the built-in nodes, 日本
    // tokyo-01 (row 0) and 美国 los-angeles-01 (row 12) have servers.
    QTest::newRow("global, 日本") << false << 1081 << 0 << "node 1/1001";
    QTest::newRow("PAC, 日本") << true << 1081 << 0 << "node 1/1001";
    QTest::newRow("PAC, 美国") << true << 1081 << 12 << "node 2/2001";
    QTest::newRow("PAC, 美国, new port") << true << 2345 << 12 << "node 2/2001";
    QTest::newRow("PAC, stopped") << true << 2345 << 12 << QString();
}

void tst_Browser::pageThroughTheProxy()
{
    QFETCH(bool, pac);
    QFETCH(int, port);
    QFETCH(int, node);
    QFETCH(QString, loggedBy);

    if (!m_window) {
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("chromium")).isEmpty(),
                 "chromium is not installed (packages.sh lists it for the tests); ctest -E "
                 "tst_browser leaves this check out");
        m_window.reset(new CMainWindow);
        m_window->show();
        m_demo.reset(new DemoRun);
        child<QPushButton>("m_btnNode")->click();
        QTRY_COMPARE_WITH_TIMEOUT(child<QTableWidget>("m_twNodeList")->rowCount(), 30, 10000);
    }
    child<QPushButton>("m_btnSetting")->click();
    child<QLineEdit>("m_lePort")->setText(QString::number(port));
    child<QRadioButton>(pac ? "m_rbPac" : "m_rbGlobal")->setChecked(true);
    child<QPushButton>("m_btnSetting_ok")->click();
    child<QTableWidget>("m_twNodeList")->selectRow(node);
    child<QPushButton>("m_btnNode_ok")->click();
    auto *run = child<QPushButton>("m_btnRun");
    if ((run->text() == QStringLiteral("停止")) == loggedBy.isEmpty())
        run->click();
    const QString proxyLine =
        loggedBy.isEmpty()
            ? QStringLiteral("proxy stopped")
            : QStringLiteral("proxy on 127.0.0.1:%1 (HTTP) through %2 ").arg(port).arg(loggedBy);
    auto lastProxyLine = [this] {
        const QRegularExpression proxyLines(QStringLiteral("^(proxy on|proxy stopped|no proxy)"));
        return (QStringList(QString()) + m_demo->lines.filter(proxyLines)).last();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(lastProxyLine().startsWith(proxyLine), qPrintable(lastProxyLine()),
                              20000);

    // What a browser that follows the system proxy takes from it.
    auto setting = [](const char *key) {
        return internetSetting(QStringLiteral("DefaultConnection/") + key);
    };
    QCOMPARE(setting("Flags").toUInt(),
             PROXY_TYPE_DIRECT | (pac ? PROXY_TYPE_AUTO_PROXY_URL : PROXY_TYPE_PROXY));
    const QStringList proxy =
        pac ? QStringList{"--proxy-pac-url=" + setting("AutoConfigUrl").toString()}
            : QStringList{"--proxy-server=" + setting("ProxyServer").toString(),
                          "--proxy-bypass-list=" + setting("ProxyBypass").toString()};

    // Chromium's own traffic (updates, sync, lookups) switched off, a private
    // profile, and no sandbox, which needs more than root in a namespace. Its
    // singleton socket goes in TMPDIR, which must be short enough for a socket
    // address; the test's own may lie deep in a build tree.
    QTemporaryDir profile(QStringLiteral("/tmp/greenlark-chromium-XXXXXX"));
    QProcess chromium;
    chromium.setEnvironment(QProcess::systemEnvironment()
                            << "HOME=" + profile.path() << "TMPDIR=" + profile.path()
                            << "DISPLAY=");
    const int before = m_demo->lines.size();
    chromium.start(
        QStringLiteral("chromium"),
        QStringLiteral("--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                       "--disable-background-networking --disable-component-update "
                       "--disable-sync --timeout=20000 --dump-dom")
                .split(' ') +
            proxy +
            QStringList{"--user-data-dir=" + profile.path(),
                        QStringLiteral("http://%1:%2/").arg(kTestAddress).arg(kPagePort)});
    // Waited for with the event loop running: the page server and the window
    // live in it.
    if (!QTest::qWaitFor([&] { return chromium.state() == QProcess::NotRunning; }, 60000))
        chromium.kill();
    chromium.waitForFinished();
    QCOMPARE(chromium.readAllStandardOutput().contains(pageText(kTestAddress).toUtf8()),
             !loggedBy.isEmpty());

    // Each request for the page in a node server's access log, in the selected
    // one's.
    const QString accepted = QStringLiteral("accepted tcp:%1:%2 ").arg(kTestAddress).arg(kPagePort);
    if (!loggedBy.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(m_demo->find(accepted, before) >= 0, 10000);
    const QStringList requests = m_demo->lines.mid(before).filter(accepted);
    for (const QString &request : requests)
        QVERIFY2(request.startsWith('[' + loggedBy + "] "), qPrintable(request));
    qInfo("%s: %s", qPrintable(proxy.first()),
          requests.isEmpty() ? "no request reached a node server" : qPrintable(requests.first()));
}

QTEST_MAIN(tst_Browser)
#include "tst_browser.moc"
