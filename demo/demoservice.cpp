// greenlark-demo-service: stands in for the proxy service at the far end of the
// control link, so the front-end can be tried without it. It answers, serves
// the PAC file and says what it hears; given a proxy core (--core), it also
// carries traffic through real node servers.
#include "demo/coreconfig.h"
#include "demo/nodesfile.h"
#include "demo/pacserver.h"
#include "demo/proxycores.h"
#include "demo/servicepeer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <memory>

namespace {

constexpr int kHeartbeatSeconds = 5;

// Flushed line by line: whoever watches the demo, or pipes it into a test,
// sees each event when it happens.
void say(QTextStream &stream, const QString &line)
{
    stream << line << Qt::endl;
}

// A signal handler may do no more than note the signal; the event loop looks
// at the note and ends the demo in order, cores first.
volatile std::sig_atomic_t g_quitSignal = 0;

extern "C" void noteQuitSignal(int signal)
{
    g_quitSignal = signal;
}

constexpr int kQuitCheckMs = 50;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("greenlark-demo-service"));

    QTextStream out(stdout);
    QTextStream err(stderr);
    out.setCodec("UTF-8");
    err.setCodec("UTF-8");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays the proxy service on greenlark's control link (127.0.0.1 only)."));
    parser.addHelpOption();
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Control link port of the front-end (default 4000)."),
        QStringLiteral("port"), QString::number(ServicePeer::kDefaultPort));
    const QCommandLineOption nodesOption(
        QStringLiteral("nodes"),
        QStringLiteral(
            "Nodes file, one node a line: tag id country info (default: built-in sample)."),
        QStringLiteral("file"));
    const QCommandLineOption heartbeatOption(
        QStringLiteral("heartbeat"),
        QStringLiteral("Seconds between heartbeat frames, 0 for none (default 5)."),
        QStringLiteral("seconds"), QString::number(kHeartbeatSeconds));
    const QCommandLineOption sampleOption(
        QStringLiteral("print-sample-nodes"),
        QStringLiteral("Print the built-in nodes as a nodes file and exit."));
    const QCommandLineOption coreOption(
        QStringLiteral("core"),
        QStringLiteral("Proxy core (v2ray) to run node servers and the proxy with."),
        QStringLiteral("path"));
    const QCommandLineOption internetOption(
        QStringLiteral("allow-internet"),
        QStringLiteral("Let the node servers reach any address, not only loopback and "
                       "198.18.0.0/15."));
    parser.addOptions(
        {portOption, nodesOption, heartbeatOption, sampleOption, coreOption, internetOption});
    parser.process(app);

    if (parser.isSet(sampleOption)) {
        QFile standardOutput;
        standardOutput.open(stdout, QIODevice::WriteOnly);
        standardOutput.write(nodesfile::sampleNodesText());
        return 0;
    }

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk, 10);
    if (!portOk || port < 1 || port > 0xFFFF) {
        say(err, QStringLiteral("--port: %1 is not a port from 1 to 65535")
                     .arg(parser.value(portOption)));
        return 2;
    }
    bool heartbeatOk = false;
    const uint heartbeat = parser.value(heartbeatOption).toUInt(&heartbeatOk, 10);
    if (!heartbeatOk || heartbeat > 3600) {
        say(err, QStringLiteral("--heartbeat: %1 is not a number of seconds from 0 to 3600")
                     .arg(parser.value(heartbeatOption)));
        return 2;
    }

    QString corePath;
    if (parser.isSet(coreOption)) {
        const QString given = parser.value(coreOption);
        corePath = given.contains(QLatin1Char('/')) ? given : QStandardPaths::findExecutable(given);
        if (corePath.isEmpty() || !QFileInfo(corePath).isExecutable() ||
            QFileInfo(corePath).isDir()) {
            say(err, QStringLiteral("--core: %1 is not an executable file").arg(given));
            return 2;
        }
    } else if (parser.isSet(internetOption)) {
        say(err, QStringLiteral("--allow-internet: only with --core"));
        return 2;
    }

    nodesfile::ParseResult parsed = nodesfile::parseNodes(nodesfile::sampleNodesText());
    QString nodesSource = QStringLiteral("built-in sample");
    if (parser.isSet(nodesOption)) {
        const QString path = parser.value(nodesOption);
        parsed = nodesfile::readNodesFile(path);
        for (const QString &warning : parsed.warnings)
            say(err, QStringLiteral("%1: %2").arg(path, warning));
        if (!parsed.ok()) {
            for (const QString &error : parsed.errors)
                say(err, QStringLiteral("%1: %2").arg(path, error));
            return 1;
        }
        nodesSource = path;
    }
    const QVector<NodeRecord> &nodes = parsed.nodes;

    // Declared before the peer, so it outlives every connection made to it.
    std::unique_ptr<ProxyCores> cores;
    ServicePeer peer;
    PacServer pac;
    peer.setNodes(nodes);
    peer.setHeartbeatInterval(int(heartbeat) * 1000);

    const QString address = QStringLiteral("127.0.0.1:%1").arg(port);
    // One line for a series of refused attempts, not one a second.
    bool retryAnnounced = false;

    QObject::connect(&peer, &ServicePeer::connected, [&] {
        retryAnnounced = false;
        say(out, QStringLiteral("connected to %1").arg(address));
    });
    QObject::connect(&peer, &ServicePeer::disconnected, [&] {
        say(out, QStringLiteral("link lost, reconnecting"));
        if (cores)
            cores->linkLost();
    });
    QObject::connect(&peer, &ServicePeer::connectFailed, [&](const QString &reason) {
        if (retryAnnounced)
            return;
        retryAnnounced = true;
        say(out,
            QStringLiteral("cannot reach %1 (%2), retrying every second").arg(address, reason));
    });
    QObject::connect(&peer, &ServicePeer::messageReceived, [&](const QByteArray &message) {
        say(out, describeMessage(message, peer.nodes()));
    });
    QObject::connect(&peer, &ServicePeer::nodesAnswered, [&](int count) {
        say(out, QStringLiteral("  answered with NodeList status=1 count=%1").arg(count));
    });
    QObject::connect(&peer, &ServicePeer::listenPortSet, [&](qint32 listenPort) {
        if (pac.isServing() && pac.proxyPort() == listenPort)
            return;
        if (pac.setProxyPort(listenPort)) {
            say(out, QStringLiteral("  PAC file at http://127.0.0.1:%1/pac/ routes to PROXY "
                                    "127.0.0.1:%2")
                         .arg(pac.pacPort())
                         .arg(listenPort));
        } else {
            say(out, QStringLiteral("  no PAC file served: %1").arg(pac.errorString()));
        }
    });
    QObject::connect(&pac, &PacServer::requestServed,
                     [&](const QString &method, const QString &target, int status) {
                         say(out, QStringLiteral("PAC %1 %2 -> %3")
                                      .arg(method.isEmpty() ? QStringLiteral("?") : method, target)
                                      .arg(status));
                     });

    say(out,
        QStringLiteral("greenlark demo service: %1 nodes (%2)").arg(nodes.size()).arg(nodesSource));

    QTimer quitCheck;
    if (!corePath.isEmpty()) {
        const bool allowInternet = parser.isSet(internetOption);
        cores.reset(new ProxyCores(corePath, allowInternet));
        QObject::connect(cores.get(), &ProxyCores::line,
                         [&](const QString &line) { say(out, line); });
        QObject::connect(&peer, &ServicePeer::listenPortSet, cores.get(),
                         &ProxyCores::setListenPort);
        QObject::connect(&peer, &ServicePeer::nodeSelected, cores.get(), &ProxyCores::selectNode);
        QObject::connect(&peer, &ServicePeer::proxySwitched, cores.get(), &ProxyCores::switchProxy);
        say(out, QStringLiteral("proxy core %1; node servers reach %2")
                     .arg(corePath, allowInternet
                                        ? QStringLiteral("any address (--allow-internet)")
                                        : coreconfig::allowedRanges().join(QStringLiteral(", ")) +
                                              QStringLiteral(" only")));
        if (!cores->startNodeServers(nodesfile::servedNodes(parsed)))
            return 1;

        // Everything the demo started ends with it.
        std::signal(SIGTERM, noteQuitSignal);
        std::signal(SIGINT, noteQuitSignal);
        QObject::connect(&quitCheck, &QTimer::timeout, [&] {
            if (g_quitSignal == 0)
                return;
            say(out, QStringLiteral("signal %1: ending the proxy cores").arg(int(g_quitSignal)));
            quitCheck.stop();
            cores.reset();
            app.quit();
        });
        quitCheck.start(kQuitCheckMs);
    }

    say(out, QStringLiteral("connecting to %1").arg(address));
    peer.connectToFrontEnd(quint16(port));
    return app.exec();
}
