// The demo service's parts: the nodes file, the PAC server over loopback HTTP,
// and the service peer against a listener standing in for the front-end.
#include "tools/nodesfile.h"
#include "tools/pacserver.h"
#include "tools/servicepeer.h"

#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

const QByteArray kHeartbeat = QByteArray::fromHex("a5010000000100000000a4");
const QByteArray kRequestNodes = QByteArray::fromHex("020000000100000003");

// Framed here by hand rather than with the codec, so a codec fault cannot hide
// in both the expectation and the result.
QByteArray framed(const QByteArray &payload, quint8 kind = 0)
{
    QByteArray length(4, '\0');
    qToLittleEndian<quint32>(quint32(payload.size() + 1), length.data());
    return QByteArray(1, char(0xA5)) + length + char(kind) + payload + QByteArray(4, '\0') +
           char(0xA4);
}

QByteArray requestNodes(quint8 code)
{
    QByteArray message = kRequestNodes;
    message[8] = char(code);
    return message;
}

// Ports come from the system, never fixed: other tests and a running
// front-end may hold any fixed one.
quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A proxy port whose PAC port (one above) is free.
quint16 freeProxyPort()
{
    return quint16(freePort() - 1);
}

struct HttpReply
{
    QByteArray head; // status line and headers
    QByteArray body;
};

HttpReply httpExchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    QSignalSpy closed(&socket, &QTcpSocket::disconnected);
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request); // held until the connection is up
    closed.wait(5000);
    const QByteArray response = socket.readAll();
    const int headEnd = response.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return HttpReply();
    return HttpReply{response.left(headEnd + 2), response.mid(headEnd + 4)};
}

QByteArray getRequest(const QByteArray &target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

// The front-end's end of the link: a listener on a free loopback port that
// keeps every byte the peer sends.
class FrontEnd
{
public:
    FrontEnd() { m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }

    bool accept()
    {
        QSignalSpy arrived(&m_server, &QTcpServer::newConnection);
        if (!m_server.hasPendingConnections() && !arrived.wait(5000))
            return false;
        QTcpSocket *link = m_server.nextPendingConnection();
        QObject::connect(link, &QTcpSocket::readyRead,
                         [this, link] { m_bytes += link->readAll(); });
        m_link = link;
        return true;
    }
    QTcpSocket *link() const { return m_link; }
    QByteArray bytes() const { return m_bytes; }

private:
    QTcpServer m_server;
    QTcpSocket *m_link = nullptr;
    QByteArray m_bytes;
};

QByteArray fieldBytes(const char (&field)[control::kTextFieldSize])
{
    return QByteArray(field, control::kTextFieldSize);
}

} // namespace

class tst_DemoService : public QObject
{
    Q_OBJECT

private slots:
    void nodesFile_data();
    void nodesFile();
    void textsFitTheirFields_data();
    void textsFitTheirFields();
    void nodeCountLimit_data();
    void nodeCountLimit();
    void builtInSample();

    void pacRequests_data();
    void pacRequests();
    void pacRebindsToNewPort();
    void pacRefusesPortsWithoutPacPort_data();
    void pacRefusesPortsWithoutPacPort();
    void pacBoundsRequestHead();

    void describe_data();
    void describe();
    void peerAnswersWithExactNodeList();
    void peerAnswers_data();
    void peerAnswers();
    void peerKeepsNodeListWithinReceiveBuffer();
    void peerCutsStream_data();
    void peerCutsStream();
    void peerSurvivesOwnerDroppingLinkMidRead();
    void peerReconnectsAfterDrop();
    void peerRetriesWhileRefused();
    void peerDeliversBeforeLeaving();
};

void tst_DemoService::nodesFile_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<int>("nodes");
    QTest::addColumn<QString>("last");       // tag, id bytes, country|info of the last node
    QTest::addColumn<QStringList>("errors"); // the start of each error, in order

    QTest::newRow("plain lines") << QByteArray(
                                        "1 1001 日本 tokyo\n7 258 美国   los angeles  01  \n")
                                 << 2 << "7 0201 美国|los angeles  01" << QStringList();
    QTest::newRow("comments and blanks")
        << QByteArray("# nodes\n\n   \n1 1 香港 hk#2 # fast\n   # indented\n") << 1
        << "1 0100 香港|hk#2" << QStringList();
    QTest::newRow("windows file with BOM") << QByteArray("\xEF\xBB\xBF"
                                                         "1 1 日本 x\r\n2 2 美国 y\r\n")
                                           << 2 << "2 0200 美国|y" << QStringList();
    QTest::newRow("ideographic spaces") << QByteArray("0\xE3\x80\x80"
                                                      "0\xE3\x80\x80德国\xE3\x80\x80柏林")
                                        << 1 << "0 0000 德国|柏林" << QStringList();
    QTest::newRow("missing country")
        << QByteArray("1 1 日本\n1 2\n") << 1 << "1 0100 日本|" << QStringList{"line 2:"};
    QTest::newRow("tag above 255")
        << QByteArray("256 1 日本\n") << 0 << QString() << QStringList{"line 1:"};
    QTest::newRow("id above 65535")
        << QByteArray("1 65536 日本\n") << 0 << QString() << QStringList{"line 1:"};
    QTest::newRow("hex tag") << QByteArray("0x1 1 日本\n") << 0 << QString()
                             << QStringList{"line 1:"};
    QTest::newRow("same tag and id twice") << QByteArray("1 5 日本\n2 5 日本\n1 5 美国\n") << 2
                                           << "2 0500 日本|" << QStringList{"line 3:"};
    QTest::newRow("not UTF-8") << QByteArray("1 1 \xC3\x28\n2 2 美国\n") << 1 << "2 0200 美国|"
                               << QStringList{"line 1:"};
    QTest::newRow("zero character")
        << QByteArray("1 1 日本\n2 2 a\0b\n", 19) << 1 << "1 0100 日本|" << QStringList{"line 2:"};
    QTest::newRow("every bad line reported")
        << QByteArray("x 1 a\n1 1 日本\n1 1 美国\n\n1 70000 a\n") << 1 << "1 0100 日本|"
        << QStringList{"line 1:", "line 3:", "line 5:"};
    QTest::newRow("empty file") << QByteArray() << 0 << QString() << QStringList{"no nodes"};
}

void tst_DemoService::nodesFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(int, nodes);
    QFETCH(QString, last);
    QFETCH(QStringList, errors);

    const nodesfile::ParseResult result = nodesfile::parseNodes(contents);
    QCOMPARE(result.nodes.size(), nodes);
    if (nodes > 0) {
        const NodeRecord &node = result.nodes.last();
        QCOMPARE(QStringLiteral("%1 %2 %3|%4")
                     .arg(node.tag)
                     .arg(QString::fromLatin1(
                         QByteArray(reinterpret_cast<const char *>(node.id), 2).toHex()))
                     .arg(control::fieldText(node.country), control::fieldText(node.info)),
                 last);
    }
    QCOMPARE(result.errors.size(), errors.size());
    for (int i = 0; i < errors.size(); ++i)
        QVERIFY2(result.errors.at(i).startsWith(errors.at(i)), qPrintable(result.errors.at(i)));
    QCOMPARE(result.ok(), errors.isEmpty());
}

void tst_DemoService::textsFitTheirFields_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("kept");

    const QString a29(29, QLatin1Char('a'));
    QTest::newRow("29 bytes kept") << a29 << a29;
    QTest::newRow("30 bytes cut to 29") << a29 + "b" << a29;
    QTest::newRow("ten 3-byte characters")
        << QString("日本日本日本日本日本") << QString("日本日本日本日本日");
    QTest::newRow("cut inside a character")
        << QString("a") + QString("国").repeated(10) << QString("a") + QString("国").repeated(9);
    QTest::newRow("4-byte character at the end")
        << QString(27, QLatin1Char('a')) + QString::fromUtf8("\xF0\x9F\x98\x80")
        << QString(27, QLatin1Char('a'));
}

void tst_DemoService::textsFitTheirFields()
{
    QFETCH(QString, text);
    QFETCH(QString, kept);

    const nodesfile::ParseResult result =
        nodesfile::parseNodes("1 1 " + text.toUtf8() + ' ' + text.toUtf8());
    QVERIFY(result.ok());
    const NodeRecord node = result.nodes.first();
    QCOMPARE(result.warnings.size(), kept == text ? 0 : 2);
    const QByteArray expected = kept.toUtf8().leftJustified(control::kTextFieldSize, '\0');
    QCOMPARE(fieldBytes(node.country), expected);
    QCOMPARE(fieldBytes(node.info), expected);
}

void tst_DemoService::nodeCountLimit_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("error");

    QTest::newRow("324 fit one list") << 324 << QString();
    // The header comment shifts line numbers by one.
    QTest::newRow("325 refused") << 325 << QString("line 326:");
    QTest::newRow("400 reported once") << 400 << QString("line 326:");
}

void tst_DemoService::nodeCountLimit()
{
    QFETCH(int, count);
    QFETCH(QString, error);

    QByteArray contents = "# many\n";
    for (int i = 0; i < count; ++i)
        contents += "1 " + QByteArray::number(i) + " 日本 n" + QByteArray::number(i) + '\n';
    const nodesfile::ParseResult result = nodesfile::parseNodes(contents);
    if (error.isEmpty()) {
        QVERIFY(result.ok());
        QCOMPARE(control::composeNodeList(1, result.nodes).size(), 20423);
    } else {
        QCOMPARE(result.errors.size(), 1);
        QVERIFY2(result.errors.first().startsWith(error), qPrintable(result.errors.first()));
        QVERIFY(result.errors.first().contains("324"));
    }
}

void tst_DemoService::builtInSample()
{
    const nodesfile::ParseResult parsed = nodesfile::parseNodes(nodesfile::sampleNodesText());
    QVERIFY(parsed.ok());
    QVERIFY(parsed.warnings.isEmpty());
    const QVector<NodeRecord> nodes = nodesfile::sampleNodes();
    // Fewer than 20 would keep the front-end asking every second.
    QVERIFY(nodes.size() >= 24);
    QSet<QString> countries;
    QSet<quint32> keys;
    for (const NodeRecord &node : nodes) {
        const QString country = control::fieldText(node.country);
        QVERIFY2(country.at(0).script() == QChar::Script_Han, qPrintable(country));
        countries.insert(country);
        keys.insert(quint32(node.tag) << 16 | control::nodeId(node));
    }
    QVERIFY(countries.size() >= 5);
    QCOMPARE(keys.size(), nodes.size());
    QVERIFY(control::composeNodeList(1, nodes).size() <= control::kMaxMessageSize);
}

void tst_DemoService::pacRequests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("script");

    QTest::newRow("pac path") << getRequest("/pac/") << 200 << true;
    QTest::newRow("timestamp query") << getRequest("/pac/?t=1700000000000") << 200 << true;
    QTest::newRow("absolute target") << getRequest("http://127.0.0.1:1/pac/?t=2") << 200 << true;
    QTest::newRow("HTTP/1.0 without headers")
        << QByteArray("GET /pac/ HTTP/1.0\r\n\r\n") << 200 << true;
    QTest::newRow("bare line feeds")
        << QByteArray("GET /pac/?t=3 HTTP/1.1\nHost: x\n\n") << 200 << true;
    QTest::newRow("HEAD") << QByteArray("HEAD /pac/ HTTP/1.1\r\n\r\n") << 200 << false;
    QTest::newRow("below the pac path") << getRequest("/pac/proxy.pac") << 404 << false;
    QTest::newRow("elsewhere") << getRequest("/proxy.pac?t=/pac/") << 404 << false;
    QTest::newRow("POST") << QByteArray("POST /pac/ HTTP/1.1\r\nContent-Length: 0\r\n\r\n") << 405
                          << false;
    QTest::newRow("not HTTP") << QByteArray("HELLO\r\n\r\n") << 400 << false;
}

void tst_DemoService::pacRequests()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(bool, script);

    PacServer pac;
    const quint16 proxyPort = freeProxyPort();
    QVERIFY2(pac.setProxyPort(proxyPort), qPrintable(pac.errorString()));
    QCOMPARE(pac.pacPort(), quint16(proxyPort + 1));

    QSignalSpy served(&pac, &PacServer::requestServed);
    const HttpReply reply = httpExchange(pac.pacPort(), request);
    QVERIFY2(reply.head.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), reply.head);
    QCOMPARE(served.size(), 1);
    QCOMPARE(served.first().at(2).toInt(), status);
    if (!request.startsWith("HEAD"))
        QVERIFY(
            reply.head.contains("\r\nContent-Length: " + QByteArray::number(reply.body.size())));
    if (status != 200)
        return;
    QVERIFY(reply.head.contains("\r\nContent-Type: application/x-ns-proxy-autoconfig\r\n"));
    QCOMPARE(reply.body.isEmpty(), !script);
    if (script) {
        QVERIFY(reply.body.startsWith("function FindProxyForURL(url, host)"));
        QVERIFY(reply.body.contains("\"PROXY 127.0.0.1:" + QByteArray::number(proxyPort) + "\""));
        for (const char *direct : {"isPlainHostName", "\"localhost\"", "a === 127", "a === 10",
                                   "b >= 16 && b <= 31", "b === 168"})
            QVERIFY2(reply.body.contains(direct), direct);
    }
}

void tst_DemoService::pacRebindsToNewPort()
{
    PacServer pac;
    const quint16 first = freeProxyPort();
    QVERIFY(pac.setProxyPort(first));
    QVERIFY(httpExchange(first + 1, getRequest("/pac/?t=1"))
                .body.contains("PROXY 127.0.0.1:" + QByteArray::number(first)));

    quint16 second = freeProxyPort();
    while (second == first)
        second = freeProxyPort();
    QVERIFY(pac.setProxyPort(second));
    QCOMPARE(pac.proxyPort(), second);
    QVERIFY(httpExchange(second + 1, getRequest("/pac/?t=2"))
                .body.contains("PROXY 127.0.0.1:" + QByteArray::number(second)));

    QTcpSocket old;
    QSignalSpy failed(&old, &QTcpSocket::errorOccurred);
    old.connectToHost(QHostAddress::LocalHost, first + 1);
    QVERIFY(failed.wait(5000));
    QCOMPARE(old.error(), QAbstractSocket::ConnectionRefusedError);

    // The same port again keeps serving rather than failing to bind twice.
    QVERIFY(pac.setProxyPort(second));
    QVERIFY(httpExchange(second + 1, getRequest("/pac/")).head.startsWith("HTTP/1.1 200"));
}

void tst_DemoService::pacRefusesPortsWithoutPacPort_data()
{
    QTest::addColumn<qint32>("port");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -1081;
    QTest::newRow("65535, PAC port would wrap to 0") << 65535;
    QTest::newRow("beyond 16 bits") << 65536 + 1081;
}

void tst_DemoService::pacRefusesPortsWithoutPacPort()
{
    QFETCH(qint32, port);
    PacServer pac;
    const quint16 before = freeProxyPort();
    QVERIFY(pac.setProxyPort(before));
    QVERIFY(!pac.setProxyPort(port));
    QVERIFY(!pac.isServing());
    QCOMPARE(pac.pacPort(), quint16(0));
    QVERIFY(!pac.errorString().isEmpty());
}

void tst_DemoService::pacBoundsRequestHead()
{
    PacServer pac;
    const quint16 proxyPort = freeProxyPort();
    QVERIFY(pac.setProxyPort(proxyPort));
    const HttpReply reply = httpExchange(
        pac.pacPort(), "GET /pac/ HTTP/1.1\r\nX-Filler: " + QByteArray(9000, 'a') + "\r\n");
    QVERIFY(reply.head.startsWith("HTTP/1.1 431"));
}

void tst_DemoService::describe_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("withNodes");

    QTest::newRow("SetListenPort")
        << QByteArray::fromHex("000000000400000039040000") << "SetListenPort port=1081" << false;
    QTest::newRow("RequestNodes") << kRequestNodes << "RequestNodes code=3" << false;
    QTest::newRow("RequestNodes other code")
        << requestNodes(5) << "RequestNodes code=5 (not answered)" << false;
    QTest::newRow("SelectNode") << QByteArray::fromHex("0400000003000000070201")
                                << "SelectNode tag=7 id=258" << false;
    QTest::newRow("SelectNode of a known node") << QByteArray::fromHex("04000000030000000ae903")
                                                << "SelectNode tag=10 id=1001 (日本 tokyo)" << true;
    QTest::newRow("SelectNode of an unknown node")
        << QByteArray::fromHex("04000000030000000be903")
        << "SelectNode tag=11 id=1001 (not in the node list)" << true;
    QTest::newRow("SwitchProxy start")
        << QByteArray::fromHex("060000000100000001") << "SwitchProxy action=1 (start)" << false;
    QTest::newRow("SwitchProxy other")
        << QByteArray::fromHex("060000000100000002") << "SwitchProxy action=2 (unknown)" << false;
    QTest::newRow("NodeList") << QByteArray::fromHex("03000000030000000102 00")
                              << "NodeList status=1 count=2" << false;
    QTest::newRow("unknown command") << QByteArray::fromHex("09000000020000000102")
                                     << "unknown command 9, 2 body bytes: 01 02" << false;
    QTest::newRow("unknown command, long body")
        << QByteArray::fromHex("ffffffff14000000") + QByteArray(20, '\x11')
        << "unknown command -1, 20 body bytes: " + QString("11 ").repeated(16) + "..." << false;
    QTest::newRow("shorter than a header")
        << QByteArray::fromHex("000000") << "short message of 3 bytes: 00 00 00" << false;
    QTest::newRow("SetListenPort without body")
        << QByteArray::fromHex("0000000004000000")
        << "SetListenPort, body too short (0 bytes): " << false;
    QTest::newRow("SelectNode cut short") << QByteArray::fromHex("04000000030000000702")
                                          << "SelectNode, body too short (2 bytes): 07 02" << false;
    QTest::newRow("bodyLength disagrees")
        << QByteArray::fromHex("060000000500000001")
        << "SwitchProxy action=1 (start) [bodyLength=5, 1 body bytes]" << false;
}

void tst_DemoService::describe()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, line);
    QFETCH(bool, withNodes);
    const QVector<NodeRecord> nodes{control::makeNodeRecord(10, 1001, "tokyo", "日本")};
    QCOMPARE(describeMessage(message, withNodes ? nodes : QVector<NodeRecord>()), line);
}

void tst_DemoService::peerAnswersWithExactNodeList()
{
    FrontEnd frontEnd;
    ServicePeer peer;
    peer.setNodes({control::makeNodeRecord(7, 0x0102, "tokyo", "日本")});
    peer.connectToFrontEnd(frontEnd.port());
    QVERIFY(frontEnd.accept());
    QTRY_VERIFY_WITH_TIMEOUT(peer.isConnected(), 5000);

    frontEnd.link()->write(framed(kRequestNodes));
    const QByteArray expected = QByteArray::fromHex("a5 4b000000 00"
                                                    "03000000 42000000 01 0100"
                                                    "07 0201") +
                                QByteArray("tokyo").leftJustified(30, '\0') +
                                QByteArray("日本").leftJustified(30, '\0') +
                                QByteArray::fromHex("00000000 a4");
    QTRY_COMPARE_WITH_TIMEOUT(frontEnd.bytes().size(), expected.size(), 5000);
    QCOMPARE(frontEnd.bytes().toHex(' '), expected.toHex(' '));
    QCOMPARE(peer.received(), QList<QByteArray>{kRequestNodes});
}

void tst_DemoService::peerAnswers_data()
{
    QTest::addColumn<bool>("autoAnswer");
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<int>("answers");

    QTest::newRow("one request") << true << QList<int>{3} << 1;
    QTest::newRow("each request answered") << true << QList<int>{3, 3, 3} << 3;
    QTest::newRow("other codes ignored") << true << QList<int>{5, 3, 0} << 1;
    QTest::newRow("auto answer off") << false << QList<int>{3} << 0;
}

void tst_DemoService::peerAnswers()
{
    QFETCH(bool, autoAnswer);
    QFETCH(QList<int>, codes);
    QFETCH(int, answers);

    FrontEnd frontEnd;
    ServicePeer peer;
    peer.setAutoAnswer(autoAnswer);
    peer.connectToFrontEnd(frontEnd.port());
    QVERIFY(frontEnd.accept());
    QByteArray requests;
    for (int code : codes)
        requests += framed(requestNodes(quint8(code)));
    frontEnd.link()->write(requests);
    QTRY_COMPARE_WITH_TIMEOUT(peer.received().size(), codes.size(), 5000);

    // The heartbeat leaves after any answer, so once it is in, every answer is.
    peer.sendHeartbeat();
    QTRY_VERIFY_WITH_TIMEOUT(frontEnd.bytes().endsWith(kHeartbeat), 5000);
    const QByteArray answer = framed(control::composeNodeList(1, nodesfile::sampleNodes()));
    QCOMPARE(frontEnd.bytes(), answer.repeated(answers) + kHeartbeat);
}

void tst_DemoService::peerKeepsNodeListWithinReceiveBuffer()
{
    FrontEnd frontEnd;
    ServicePeer peer;
    peer.setNodes(QVector<NodeRecord>(400, control::makeNodeRecord(1, 1, "i", "日本")));
    QCOMPARE(peer.nodes().size(), 324);
    peer.connectToFrontEnd(frontEnd.port());
    QVERIFY(frontEnd.accept());
    frontEnd.link()->write(framed(kRequestNodes));
    QTRY_COMPARE_WITH_TIMEOUT(frontEnd.bytes().size(), 20423 + 11, 5000);
    QCOMPARE(frontEnd.bytes().mid(6, 11).toHex(' '),
             QByteArray::fromHex("03000000 bf4f0000 01 4401").toHex(' '));
}

void tst_DemoService::peerCutsStream_data()
{
    QTest::addColumn<int>("chunk");
    QTest::newRow("all at once") << 0;
    QTest::newRow("one byte at a time") << 1;
    QTest::newRow("5-byte pieces") << 5;
    QTest::newRow("13-byte pieces") << 13;
}

void tst_DemoService::peerCutsStream()
{
    QFETCH(int, chunk);

    const QByteArray setPort = QByteArray::fromHex("000000000400000039040000");
    const QByteArray select = QByteArray::fromHex("0400000003000000070201");
    const QByteArray start = QByteArray::fromHex("060000000100000001");
    const QByteArray stream = framed(setPort) + kHeartbeat + framed("\x01\x02", 2) +
                              QByteArray::fromHex("0013") + framed(select) + framed(start);

    FrontEnd frontEnd;
    ServicePeer peer;
    QSignalSpy ports(&peer, &ServicePeer::listenPortSet);
    peer.connectToFrontEnd(frontEnd.port());
    QVERIFY(frontEnd.accept());
    QTRY_VERIFY_WITH_TIMEOUT(peer.isConnected(), 5000);
    for (int at = 0; at < stream.size(); at += chunk ? chunk : stream.size()) {
        frontEnd.link()->write(stream.mid(at, chunk ? chunk : -1));
        frontEnd.link()->flush();
    }
    const QList<QByteArray> expected{setPort, select, start};
    QTRY_COMPARE_WITH_TIMEOUT(peer.received(), expected, 5000);
    QCOMPARE(ports.size(), 1);
    QCOMPARE(ports.first().first().toInt(), 1081);
}

void tst_DemoService::peerSurvivesOwnerDroppingLinkMidRead()
{
    FrontEnd frontEnd;
    ServicePeer peer;
    peer.setAutoReconnect(false);
    connect(&peer, &ServicePeer::messageReceived, &peer, &ServicePeer::disconnectFromFrontEnd);
    peer.connectToFrontEnd(frontEnd.port());
    QVERIFY(frontEnd.accept());
    QSignalSpy closed(frontEnd.link(), &QTcpSocket::disconnected);
    frontEnd.link()->write(framed(kRequestNodes).repeated(3));
    QVERIFY(closed.wait(5000));
    QCOMPARE(peer.received().size(), 1);
    QVERIFY(!peer.isConnected());
}

void tst_DemoService::peerReconnectsAfterDrop()
{
    FrontEnd frontEnd;
    ServicePeer peer;
    peer.setReconnectInterval(10);
    QSignalSpy up(&peer, &ServicePeer::connected);
    QSignalSpy down(&peer, &ServicePeer::disconnected);
    peer.connectToFrontEnd(frontEnd.port());
    QVERIFY(frontEnd.accept());
    QTRY_COMPARE_WITH_TIMEOUT(up.size(), 1, 5000);

    // A header left over from the old link that, joined to the new link's first
    // frame, would swallow it whole.
    frontEnd.link()->write(QByteArray::fromHex("a50f000000"));
    frontEnd.link()->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(down.size(), 1, 5000);
    QVERIFY(frontEnd.accept());
    QTRY_COMPARE_WITH_TIMEOUT(up.size(), 2, 5000);
    QVERIFY(peer.isConnected());

    frontEnd.link()->write(framed(kRequestNodes));
    QTRY_COMPARE_WITH_TIMEOUT(peer.received(), QList<QByteArray>{kRequestNodes}, 5000);
}

void tst_DemoService::peerRetriesWhileRefused()
{
    const quint16 port = freePort();
    ServicePeer peer;
    peer.setReconnectInterval(10);
    QSignalSpy failed(&peer, &ServicePeer::connectFailed);
    peer.connectToFrontEnd(port);
    QTRY_VERIFY_WITH_TIMEOUT(failed.size() >= 2, 5000);
    QVERIFY(!peer.isConnected());

    QTcpServer late;
    QVERIFY(late.listen(QHostAddress::LocalHost, port));
    QTRY_VERIFY_WITH_TIMEOUT(peer.isConnected(), 5000);
}

void tst_DemoService::peerDeliversBeforeLeaving()
{
    FrontEnd frontEnd;
    ServicePeer peer;
    peer.connectToFrontEnd(frontEnd.port());
    QVERIFY(frontEnd.accept());
    QTRY_VERIFY_WITH_TIMEOUT(peer.isConnected(), 5000);
    QSignalSpy closed(frontEnd.link(), &QTcpSocket::disconnected);

    const QByteArray list = control::composeNodeList(1, nodesfile::sampleNodes());
    peer.sendMessage(list);
    peer.disconnectFromFrontEnd();
    QVERIFY(closed.wait(5000));
    QCOMPARE(frontEnd.bytes(), framed(list));
    QVERIFY(!peer.isConnected());
    peer.sendMessage(list); // dropped: no link
}

QTEST_GUILESS_MAIN(tst_DemoService)
#include "tst_demoservice.moc"
