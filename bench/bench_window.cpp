// The main window's side of a node list, against what the same work costs
// without greenlark around it:
//  - one NodeList of 324 records from the service until the node page shows
//    it, in CPU time, against a plain QTableWidget filled with the same rows;
//  - a burst of 10,000 such lists sent at once until the window shows the
//    last, in wall time and resident memory kept, against a plain socket
//    reader that takes the same bytes and does nothing with them.
#include "windowfixture.h"

#include "link/controlframe.h"
#include "link/controlmessages.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kBurstLists = 10000;

// The most records a message carries, every country text `name` and a number.
QVector<NodeRecord> fullList(const QByteArray &name)
{
    QVector<NodeRecord> nodes;
    for (int i = 0; i < control::kMaxNodeRecords; ++i) {
        nodes.append(control::makeNodeRecord(quint8(i), quint16(i), "bench node",
                                             name + ' ' + QByteArray::number(i)));
    }
    return nodes;
}

QByteArray framed(const QVector<NodeRecord> &nodes)
{
    return frame::buildFrame(frame::DataFrame,
                             control::composeNodeList(control::kNodeListReady, nodes));
}

NodeListBenchmark &window()
{
    return benchWindow();
}

// Two lists in turn, so every one differs from the one on show.
void BM_NodeListShown(benchmark::State &state)
{
    NodeListBenchmark &bench = window();
    bench.connectService();
    bench.showNodePage();
    const QByteArray lists[] = {framed(fullList("印度尼西亚")), framed(fullList("新加坡"))};
    const QString firsts[] = {QStringLiteral("印度尼西亚 0"), QStringLiteral("新加坡 0")};
    int turn = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bench.sendFromService(lists[turn]);
        state.ResumeTiming();
        runUntil([&] { return bench.cellText(0, 1) == firsts[turn]; });
        turn = 1 - turn;
    }
    bench.disconnectService();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NodeListShown)
    ->Name("window/list")
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

void BM_PlainTableFill(benchmark::State &state)
{
    // Shaped like the node table, so that as many rows are drawn.
    window().showNodePage();
    QTableWidget table(0, 2);
    table.verticalHeader()->setDefaultSectionSize(window().rowHeight());
    table.resize(window().tableSize());
    table.show();
    const QVector<NodeRecord> lists[] = {fullList("印度尼西亚"), fullList("新加坡")};
    int turn = 0;
    for (auto _ : state) {
        const QVector<NodeRecord> &nodes = lists[turn];
        table.clearContents();
        table.setRowCount(nodes.size());
        for (int row = 0; row < nodes.size(); ++row) {
            table.setItem(row, 0, new QTableWidgetItem(QString::number(row + 1)));
            table.setItem(row, 1, new QTableWidgetItem(control::fieldText(nodes[row].country)));
        }
        QCoreApplication::processEvents();
        turn = 1 - turn;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainTableFill)
    ->Name("table/list")
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMicrosecond);

// The service's side of the burst, in a process of its own so that its
// buffers stay out of the memory measured here: connects, writes every list
// as fast as the link takes them, and holds the link open until told.
pid_t startBurst(quint16 port, const QByteArray &list, const QByteArray &last, int *release)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid != 0) {
        close(fds[0]);
        *release = fds[1];
        return pid;
    }
    // The child touches nothing of Qt's.
    close(fds[1]);
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr *>(&to), sizeof(to)) != 0)
        _exit(1);
    auto writeAll = [s](const QByteArray &bytes) {
        for (qint64 at = 0; at < bytes.size();) {
            const ssize_t n = write(s, bytes.constData() + at, size_t(bytes.size() - at));
            if (n <= 0)
                _exit(1);
            at += n;
        }
    };
    for (int i = 1; i < kBurstLists; ++i)
        writeAll(list);
    writeAll(last);
    char byte;
    while (read(fds[0], &byte, 1) > 0) {
    }
    close(s);
    _exit(0);
}

void finishBurst(pid_t pid, int release)
{
    close(release);
    int status = 0;
    waitpid(pid, &status, 0);
}

void reportBurst(benchmark::State &state, double seconds, double residentBefore)
{
    state.SetIterationTime(seconds);
    state.counters["s"] = seconds;
    state.counters["rss_kept_MiB"] = residentMiB() - residentBefore;
}

void BM_Burst(benchmark::State &state)
{
    NodeListBenchmark &bench = window();
    bench.showNodePage();
    const QByteArray list = framed(fullList("印度尼西亚"));
    const QByteArray last = framed(fullList("最后"));
    for (auto _ : state) {
        const double before = residentMiB();
        QElapsedTimer clock;
        clock.start();
        int release = -1;
        const pid_t pid = startBurst(bench.port(), list, last, &release);
        runUntil([&] {
            return bench.cellText(0, 1) == QStringLiteral("最后 0") && bench.queuedMessages() == 0;
        });
        reportBurst(state, clock.nsecsElapsed() / 1e9, before);
        finishBurst(pid, release);
        runUntil([&] { return bench.showsService(false); });
    }
}
BENCHMARK(BM_Burst)
    ->Name("window/burst")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_PlainReader(benchmark::State &state)
{
    const QByteArray list = framed(fullList("印度尼西亚"));
    const QByteArray last = framed(fullList("最后"));
    const qint64 total = qint64(list.size()) * (kBurstLists - 1) + last.size();
    for (auto _ : state) {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost);
        qint64 received = 0;
        QObject::connect(&server, &QTcpServer::newConnection, [&] {
            QTcpSocket *socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead,
                             [&, socket] { received += socket->readAll().size(); });
        });
        const double before = residentMiB();
        QElapsedTimer clock;
        clock.start();
        int release = -1;
        const pid_t pid = startBurst(server.serverPort(), list, last, &release);
        runUntil([&] { return received >= total; });
        reportBurst(state, clock.nsecsElapsed() / 1e9, before);
        finishBurst(pid, release);
    }
}
BENCHMARK(BM_PlainReader)
    ->Name("reader/burst")
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    return runWindowBenchmarks(argc, argv);
}
