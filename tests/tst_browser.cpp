// Real traffic through the demo service's proxy cores, in the private network
// and process namespace that tests/in-private-network.sh makes: greenlark points
// the stand-in system proxy at the demo, and headless Chromium, set up from what
// greenlark stored, loads a page through it; every core ends with the demo.
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"
#include "testsupport.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <memory>

namespace {

// The address the page is served on, in the range the node servers may reach;
// in-private-network.sh puts it on loopback.
const QString kTestAddress = QStringLiteral("198.18.0.1");
constexpr quint16 kPagePort = 8080;
const QByteArray kPage = "greenlark test page";
const QByteArray kResponse = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                             "Content-Length: " +
                             QByteArray::number(kPage.size()) + "\r\n\r\n" + kPage;
const QString kCore = QStandardPaths::findExecutable(QStringLiteral("v2ray"));

// A node server's log line for a request for the page.
const QString kAccepted = QStringLiteral("accepted tcp:%1:%2 ").arg(kTestAddress).arg(kPagePort);

} // namespace

class tst_Browser : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(storesNotPrivate().isEmpty(), qPrintable(storesNotPrivate()));
        // Every request on every local address gets the page, once its head is in.
        connect(&m_pages, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_pages.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    if (!socket->peek(64 * 1024).contains("\r\n\r\n"))
                        return;
                    socket->readAll();
                    socket->write(kResponse);
                    socket->disconnectFromHost();
                });
        });
        QVERIFY2(!kCore.isEmpty() && !QStandardPaths::findExecutable("chromium").isEmpty() &&
                     m_pages.listen(QHostAddress::AnyIPv4, kPagePort) &&
                     QNetworkInterface::allAddresses().contains(QHostAddress(kTestAddress)),
                 "needs v2ray and chromium (packages.sh lists them for the tests; ctest -E "
                 "tst_browser leaves this test out) and the test addresses on loopback: run it "
                 "through tests/in-private-network.sh, as CTest does");
        m_window.reset(new CMainWindow);
        m_window->show();
        // The demo service built with the tests, its log kept line by line.
        m_demo.setProcessChannelMode(QProcess::MergedChannels);
        connect(&m_demo, &QProcess::readyRead, this, [this] {
            while (m_demo.canReadLine())
                m_lines.append(QString::fromUtf8(m_demo.readLine()).trimmed());
        });
        m_demo.start(qEnvironmentVariable("GREENLARK_DEMO_SERVICE"),
                     QStringList{"--core", kCore, "--heartbeat", "0"});
        child<QPushButton>("m_btnNode")->click();
        QTRY_COMPARE_WITH_TIMEOUT(child<QTableWidget>("m_twNodeList")->rowCount(), 30, 10000);
    }

    void cleanupTestCase()
    {
        QFile::remove(proxySettingsPath());
        // Every core ends with the demo: in this namespace, all of them are the test's.
        m_demo.terminate();
        QVERIFY(m_demo.waitForFinished(20000));
        QCOMPARE(QProcess::execute("pgrep", {"-x", "v2ray"}), 1);
    }

    void pageThroughTheProxy_data()
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

    void pageThroughTheProxy()
    {
        QFETCH(bool, pac);
        QFETCH(int, port);
        QFETCH(int, node);
        QFETCH(QString, loggedBy);

        child<QPushButton>("m_btnSetting")->click();
        child<QLineEdit>("m_lePort")->setText(QString::number(port));
        child<QRadioButton>(pac ? "m_rbPac" : "m_rbGlobal")->setChecked(true);
        child<QPushButton>("m_btnSetting_ok")->click();
        child<QTableWidget>("m_twNodeList")->selectRow(node);
        child<QPushButton>("m_btnNode_ok")->click();
        auto *run = child<QPushButton>("m_btnRun");
        if ((run->text() == QStringLiteral("停止")) == loggedBy.isEmpty())
            run->click();
        // The demo's last word on its proxy: Chromium starts once it is this one.
        const QString proxyLine = loggedBy.isEmpty()
                                      ? QStringLiteral("proxy stopped")
                                      : QStringLiteral("proxy on 127.0.0.1:%1 (HTTP) through %2 ")
                                            .arg(port)
                                            .arg(loggedBy);
        const QRegularExpression proxyLines(QStringLiteral("^(proxy on|proxy stopped|no proxy)"));
        auto lastProxyLine = [&] {
            return (QStringList(QString()) + m_lines.filter(proxyLines)).last();
        };
        QTRY_VERIFY2_WITH_TIMEOUT(lastProxyLine().startsWith(proxyLine),
                                  qPrintable(lastProxyLine()), 20000);

        // What a browser that follows the system proxy takes from it.
        const ProxyOptions set = storedOptions();
        const QStringList proxy = pac ? QStringList{"--proxy-pac-url=" + set.autoConfigUrl}
                                      : QStringList{"--proxy-server=" + set.proxyServer,
                                                    "--proxy-bypass-list=" + set.proxyBypass};

        // Chromium's own traffic (updates, sync, lookups) switched off, a private
        // profile, and no sandbox, which needs more than root in a namespace. Its
        // singleton socket goes in TMPDIR, which must be short enough for a socket
        // address; the test's own may lie deep in a build tree.
        QTemporaryDir profile(QStringLiteral("/tmp/greenlark-chromium-XXXXXX"));
        QProcess chromium;
        chromium.setEnvironment(QProcess::systemEnvironment()
                                << "HOME=" + profile.path() << "TMPDIR=" + profile.path()
                                << "DISPLAY=");
        const QString options =
            "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
            "--disable-background-networking --disable-component-update "
            "--disable-sync --timeout=20000 --dump-dom --user-data-dir=" +
            profile.path();
        const int before = m_lines.size();
        chromium.start(
            QStringLiteral("chromium"),
            options.split(' ') + proxy +
                QStringList(QStringLiteral("http://%1:%2/").arg(kTestAddress).arg(kPagePort)));
        // Waited for with the event loop running: the page server and the window
        // live in it. One that hangs is ended with `chromium`.
        QVERIFY(QTest::qWaitFor([&] { return chromium.state() == QProcess::NotRunning; }, 60000));
        QCOMPARE(chromium.readAllStandardOutput().contains(kPage), !loggedBy.isEmpty());

        // Each request for the page in a node server's access log, in the selected
        // one's.
        const auto requests = [&] { return m_lines.mid(before).filter(kAccepted); };
        if (!loggedBy.isEmpty())
            QTRY_VERIFY_WITH_TIMEOUT(!requests().isEmpty(), 10000);
        for (const QString &request : requests())
            QVERIFY2(request.startsWith('[' + loggedBy + "] "), qPrintable(request));
    }

private:
    template <typename T> T *child(const char *name) { return ::child<T>(*m_window, name); }

    QTcpServer m_pages;
    QStringList m_lines; // before the process, which may still read as it goes
    QProcess m_demo;
    std::unique_ptr<CMainWindow> m_window;
};

QTEST_MAIN(tst_Browser)
#include "tst_browser.moc"
