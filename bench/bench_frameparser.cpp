// The receive path of the control link, fed socket reads of a realistic size
// as the link server feeds it. Plain memcpys of the same reads run beside each
// case as the reference.
#include "link/controlframe.h"
#include "link/recvqueue.h"

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <QVector>
#include <benchmark/benchmark.h>
#include <cstring>
#include <string>

namespace {

constexpr int kStreamBytes = 4 << 20;

// The stream of frames carrying `messageSize`-byte messages, cut into reads.
QVector<QByteArray> reads(int messageSize, int readSize)
{
    const QByteArray one = frame::buildFrame(frame::DataFrame, QByteArray(messageSize, 'm'));
    QByteArray stream;
    stream.reserve(kStreamBytes + one.size());
    while (stream.size() < kStreamBytes)
        stream += one;
    QVector<QByteArray> cut;
    for (int at = 0; at < stream.size(); at += readSize)
        cut << stream.mid(at, readSize);
    return cut;
}

qint64 totalBytes(const QVector<QByteArray> &cut)
{
    qint64 total = 0;
    for (const QByteArray &read : cut)
        total += read.size();
    return total;
}

void memcpyReads(benchmark::State &state, int messageSize, int readSize)
{
    const QVector<QByteArray> cut = reads(messageSize, readSize);
    QByteArray target(readSize, Qt::Uninitialized);
    for (auto _ : state) {
        for (const QByteArray &read : cut) {
            std::memcpy(target.data(), read.constData(), size_t(read.size()));
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(state.iterations() * totalBytes(cut));
}

// The link server's receive path: each read goes into the receive queue under
// its mutex, which cuts it into messages where they lie; the main window's tick
// then takes everything at once.
void parseReads(benchmark::State &state, int messageSize, int readSize)
{
    const QVector<QByteArray> cut = reads(messageSize, readSize);
    QMutex mutex;
    RecvQueue queue;
    for (auto _ : state) {
        for (const QByteArray &read : cut) {
            QMutexLocker locker(&mutex);
            queue.append(read);
        }
        QMutexLocker locker(&mutex);
        const RecvQueue::Batch taken = queue.takeAll();
        benchmark::DoNotOptimize(&taken);
    }
    state.SetBytesProcessed(state.iterations() * totalBytes(cut));
    state.SetItemsProcessed(state.iterations() *
                            (totalBytes(cut) / (messageSize + frame::kOverhead)));
}

struct Case
{
    const char *name;
    int messageSize;
    int readSize;
};

// 2037-byte messages fill the largest frames; 64 KiB reads end on a frame
// boundary, 65000-byte reads leave part of a frame in the carry buffer each
// time; 9-byte messages are RequestNodes, the smallest frame that carries one.
const Case kCases[] = {
    {"frames:2048/read:65536", 2037, 65536},
    {"frames:2048/read:65000", 2037, 65000},
    {"frames:20/read:65536", 9, 65536},
};

} // namespace

int main(int argc, char **argv)
{
    // A full queue says so once a take; here that is once an iteration.
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    for (const Case &c : kCases) {
        benchmark::RegisterBenchmark((std::string("memcpy/") + c.name).c_str(), memcpyReads,
                                     c.messageSize, c.readSize);
        benchmark::RegisterBenchmark((std::string("parse/") + c.name).c_str(), parseReads,
                                     c.messageSize, c.readSize);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
