// The demo service with a real proxy core: what its node servers let through,
// and that every core it starts ends with it, also after greenlark's exit has
// ended them all from outside.
#include "link/controlframe.h"
#include "link/controlmessages.h"
#include "testsupport.h"
#include "tools/nodesfile.h"
#include "tools/proxycores.h"
#include "trafficsupport.h"

#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

namespace {

// One request through the HTTP proxy on `proxyPort`: the status line, and the
// body once as long as the response says it is.
QPair<QByteArray, QByteArray> getThroughProxy(quint16 proxyPort, const QString &host)
{
    QTcpSocket socket;
    QByteArray response;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { response += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, proxyPort);
    const QByteArray target = QStringLiteral("%1:%2").arg(host).arg(kPagePort).toUtf8();
    socket.write("GET http://" + target + "/ HTTP/1.1\r\nHost: " + target + "\r\n\r\n");

    auto complete = [&] {
        const int headEnd = response.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return false;
        const QByteArray head = response.left(headEnd).toLower();
        const int at = head.indexOf("content-length:");
        const int length = at < 0 ? 0 : head.mid(at + 15).split('\r').first().trimmed().toInt();
        return response.size() >= headEnd + 4 + length;
    };
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    QDeadlineTimer deadline(10000);
    while (!complete() && closed.isEmpty() && !deadline.hasExpired())
        closed.wait(50);
    const int headEnd = response.indexOf("\r\n\r\n");
    return {response.left(response.indexOf("\r\n")),
            headEnd < 0 ? QByteArray() : response.mid(headEnd + 4)};
}

} // namespace

class tst_DemoCore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void nodeServerRouting_data();
    void nodeServerRouting();
    void coresEndWithTheDemo_data();
    void coresEndWithTheDemo();

private:
    QString m_core;
};

void tst_DemoCore::initTestCase()
{
    m_core = DemoRun::corePath();
    QVERIFY2(!m_core.isEmpty(), "v2ray is not installed (packages.sh lists it for the tests)");
    QVERIFY2(inPrivateNetwork(), "the test addresses are not on loopback: run this test through "
                                 "tests/in-private-network.sh, as CTest does");
}

void tst_DemoCore::nodeServerRouting_data()
{
    QTest::addColumn<bool>("allowInternet");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("reachedAs"); // the address the page names; empty: blocked

    QTest::newRow("test range") << false << kTestAddress << kTestAddress;
    QTest::newRow("loopback") << false << "127.0.0.1"
                              << "127.0.0.1";
    QTest::newRow("localhost by name") << false << "localhost"
                                       << "127.0.0.1";
    QTest::newRow("elsewhere") << false << kOutsideAddress << QString();
    // Never looked up: a name could resolve into an allowed range.
    QTest::newRow("a name elsewhere") << false << "greenlark.test" << QString();
    QTest::newRow("elsewhere, internet allowed") << true << kOutsideAddress << kOutsideAddress;
}

void tst_DemoCore::nodeServerRouting()
{
    QFETCH(bool, allowInternet);
    QFETCH(QString, host);
    QFETCH(QString, reachedAs);

    PageServer pages;
    QVERIFY(pages.isListening());
    QStringList log;
    ProxyCores cores(m_core, allowInternet);
    connect(&cores, &ProxyCores::line, this, [&log](const QString &line) { log.append(line); });
    const NodeRecord node = control::makeNodeRecord(1, 1001, "tokyo-01", "日本");
    QVERIFY(cores.startNodeServers({node}));
    const quint16 listenPort = freeLoopbackPort();
    cores.setListenPort(listenPort);
    cores.selectNode(1, 1001);
    cores.switchProxy(true);
    QTRY_VERIFY_WITH_TIMEOUT(
        log.join('\n').contains(QStringLiteral("proxy on 127.0.0.1:%1").arg(listenPort)), 20000);

    const auto reply = getThroughProxy(listenPort, host);
    if (reachedAs.isEmpty()) {
        QCOMPARE(reply.first, QByteArray("HTTP/1.1 403 Forbidden"));
    } else {
        QCOMPARE(reply.first, QByteArray("HTTP/1.1 200 OK"));
        QVERIFY2(reply.second.contains(PageServer::pageText(reachedAs).toUtf8()), reply.second);
    }
    // The node server, not the client alone, saw the request.
    QTRY_VERIFY_WITH_TIMEOUT(
        log.filter(QStringLiteral("[node 1/1001]"))
            .join('\n')
            .contains(QStringLiteral("accepted tcp:%1:%2").arg(host).arg(kPagePort)),
        5000);
}

void tst_DemoCore::coresEndWithTheDemo_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_DemoCore::coresEndWithTheDemo()
{
    QFETCH(int, signal);

    QTcpServer frontEnd;
    QVERIFY(frontEnd.listen(QHostAddress::LocalHost, 0));
    DemoRun demo({QStringLiteral("--core"), m_core, QStringLiteral("--port"),
                  QString::number(frontEnd.serverPort()), QStringLiteral("--heartbeat"),
                  QStringLiteral("0")});
    QVERIFY(frontEnd.waitForNewConnection(20000));
    QTcpSocket *link = frontEnd.nextPendingConnection();
    auto send = [link](const auto &message) {
        link->write(frame::buildFrame(frame::DataFrame, bytesOf(message)));
    };
    const quint16 listenPort = freeLoopbackPort();
    const QString proxyOn = QStringLiteral("proxy on 127.0.0.1:%1").arg(listenPort);
    send(control::makeSetListenPort(listenPort));
    send(control::makeSelectNode(nodesfile::sampleNodes().first()));
    send(control::makeSwitchProxy(control::kSwitchStart));
    QVERIFY(demo.waitForLine(proxyOn) >= 0);
    // The sample's four node servers and the client.
    const QList<qint64> started = demo.children();
    QCOMPARE(started.size(), 5);

    // greenlark's exit ends every v2ray at once.
    for (qint64 pid : started)
        ::kill(pid_t(pid), SIGKILL);
    const int ended = demo.waitForLine(QStringLiteral(" ended: "));
    QVERIFY(ended >= 0);
    QVERIFY2(demo.lines().at(ended).contains(QStringLiteral("client (killed)")),
             qPrintable(demo.lines().at(ended)));
    // A round trip after the report: by then nothing was started again, and
    // the five ends made one line.
    send(control::makeRequestNodes());
    QVERIFY(demo.waitForLine(QStringLiteral("answered with NodeList"), ended) >= 0);
    QCOMPARE(demo.children(), QList<qint64>());
    QCOMPARE(demo.lines().filter(QStringLiteral(" ended: ")).size(), 1);

    send(control::makeSwitchProxy(control::kSwitchStart));
    QVERIFY(demo.waitForLine(proxyOn, ended) >= 0);
    const QList<qint64> restarted = demo.children();
    QCOMPARE(restarted.size(), 5);

    ::kill(pid_t(demo.process().processId()), signal);
    QVERIFY(demo.process().waitForFinished(20000));
    QCOMPARE(demo.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(demo.process().exitCode(), 0);
    for (qint64 pid : restarted)
        QVERIFY2(!processExists(pid),
                 qPrintable(QStringLiteral("core %1 outlived the demo").arg(pid)));
}

QTEST_GUILESS_MAIN(tst_DemoCore)
#include "tst_democore.moc"
