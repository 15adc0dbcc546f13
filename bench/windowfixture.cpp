#include "windowfixture.h"

#include "link/tcpserver.h"
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>

NodeListBenchmark::NodeListBenchmark() : m_window(new CMainWindow)
{
    // A free port, so a running greenlark keeps its own.
    m_window->m_tcpServer->startServer(true, 0);
    m_window->show();
}

NodeListBenchmark::~NodeListBenchmark() = default;

quint16 NodeListBenchmark::port() const
{
    return m_window->m_tcpServer->serverPort();
}

bool NodeListBenchmark::isConnected() const
{
    return m_window->m_tcpServer->isConnected();
}

int NodeListBenchmark::queuedMessages() const
{
    return m_window->m_tcpServer->queuedMessages();
}

QString NodeListBenchmark::cellText(int row, int column) const
{
    const QTableWidgetItem *item = m_window->ui.m_twNodeList->item(row, column);
    return item ? item->text() : QString();
}

bool NodeListBenchmark::showsService(bool connected) const
{
    const bool green =
        m_window->ui.m_lbBackground->styleSheet().contains(QLatin1String("0, 170, 0"));
    return green == connected && (connected || cellText(0, 1).isEmpty());
}

QSize NodeListBenchmark::tableSize() const
{
    return m_window->ui.m_twNodeList->size();
}

int NodeListBenchmark::rowHeight() const
{
    return m_window->ui.m_twNodeList->verticalHeader()->defaultSectionSize();
}

void NodeListBenchmark::connectService()
{
    m_service.connectToHost(QHostAddress::LocalHost, port());
    runUntil([this] { return showsService(true); });
}

void NodeListBenchmark::disconnectService()
{
    m_service.abort();
    runUntil([this] { return showsService(false); });
}

void NodeListBenchmark::sendFromService(const QByteArray &bytes)
{
    m_service.write(bytes);
    m_service.flush();
}

void NodeListBenchmark::showNodePage()
{
    m_window->ui.m_btnNode->click();
}

namespace {

std::unique_ptr<NodeListBenchmark> g_window;

} // namespace

NodeListBenchmark &benchWindow()
{
    if (!g_window)
        g_window.reset(new NodeListBenchmark);
    return *g_window;
}

int runWindowBenchmarks(int argc, char **argv)
{
    if (qgetenv("QT_QPA_PLATFORM").isEmpty())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never the user's own proxy options.
    const QString scratch =
        QDir::tempPath() +
        QStringLiteral("/greenlark-bench-%1.ini").arg(QCoreApplication::applicationPid());
    qputenv("GREENLARK_INTERNET_SETTINGS", scratch.toLocal8Bit());
    platform::setProcessEnder([](const QString &) {});

    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_window.reset();
    QFile::remove(scratch);
    return 0;
}

void runUntil(const std::function<bool()> &done)
{
    QElapsedTimer waited;
    waited.start();
    // Wakes the loop now and then, so a condition that never comes is noticed.
    QTimer watchdog;
    watchdog.start(1000);
    while (!done()) {
        if (waited.elapsed() > 600000) {
            std::fprintf(stderr, "the window did not get there within ten minutes\n");
            std::abort();
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    // What the change scheduled (a repaint) is part of the work.
    QCoreApplication::processEvents();
}

void runEventsFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double residentMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024;
    }
    return 0;
}
