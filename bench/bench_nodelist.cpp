// How long the main tick takes to take a full NodeList (324 records, the most a
// message can carry) and rebuild the node table, against the 20 ms tick it
// must fit in; and what an idle tick costs.
#include "link/controlmessages.h"
#include "link/tcpserver.h"
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"
#include "tools/servicepeer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTableWidget>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <memory>

class NodeListBenchmark
{
public:
    NodeListBenchmark()
    {
        m_window.reset(new CMainWindow);
        // The bench drives the tick itself, and listens on a free port so a
        // running greenlark keeps its own.
        m_window->m_timer.stop();
        m_window->m_tcpServer->startServer(true, 0);
        m_peer.connectToFrontEnd(m_window->m_tcpServer->serverPort());
        m_peer.setAutoAnswer(false);
        waitFor([&] { return m_window->m_tcpServer->isConnected(); });
    }

    // Puts one message into the window's receive queue over the real link.
    void deliver(const QByteArray &message)
    {
        const int before = m_window->m_tcpServer->queuedMessages();
        m_peer.sendMessage(message);
        waitFor([&] { return m_window->m_tcpServer->queuedMessages() > before; });
    }

    void poll() { m_window->pollRecvMessage(); }
    void tick() { m_window->slotsTimeHanlde(); }
    int rows() const { return m_window->ui.m_twNodeList->rowCount(); }

private:
    template <typename Condition> static void waitFor(Condition condition)
    {
        QElapsedTimer timer;
        timer.start();
        while (!condition()) {
            if (timer.elapsed() > 10000)
                qFatal("the link did not come up");
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
    }

    std::unique_ptr<CMainWindow> m_window;
    ServicePeer m_peer;
};

namespace {

QByteArray fullNodeList()
{
    QVector<NodeRecord> nodes;
    for (int i = 0; i < control::kMaxNodeRecords; ++i) {
        nodes.append(control::makeNodeRecord(quint8(i), quint16(i), "bench node",
                                             QByteArray("印度尼西亚 ") + QByteArray::number(i)));
    }
    return control::composeNodeList(control::kNodeListReady, nodes);
}

NodeListBenchmark &fixture()
{
    static NodeListBenchmark bench;
    return bench;
}

void BM_TakeAndShowFullNodeList(benchmark::State &state)
{
    NodeListBenchmark &bench = fixture();
    const QByteArray message = fullNodeList();
    for (auto _ : state) {
        state.PauseTiming();
        bench.deliver(message);
        state.ResumeTiming();
        bench.poll();
    }
    if (bench.rows() != control::kMaxNodeRecords)
        state.SkipWithError("the table does not show the whole list");
    state.SetItemsProcessed(state.iterations() * control::kMaxNodeRecords);
    state.SetBytesProcessed(state.iterations() * message.size());
}
BENCHMARK(BM_TakeAndShowFullNodeList)->Unit(benchmark::kMicrosecond);

void BM_IdleTick(benchmark::State &state)
{
    NodeListBenchmark &bench = fixture();
    for (auto _ : state)
        bench.tick();
}
BENCHMARK(BM_IdleTick)->Unit(benchmark::kNanosecond);

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    // Never the user's own proxy options, never a real process.
    QTemporaryDir scratch;
    qputenv("GREENLARK_INTERNET_SETTINGS", scratch.filePath("internet-settings.ini").toLocal8Bit());
    platform::setProcessEnder([](const QString &) {});
    QApplication app(argc, argv);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
