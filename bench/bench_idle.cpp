// What greenlark costs while nothing happens, against a minimal Qt window in
// the same process: CPU time and wakeups (the times a thread of the process
// went to sleep and was woken, from the voluntary context switches in
// /proc/self/task/*/status) over a quiet stretch of BENCH_IDLE_SECONDS
// (default 10).
#include "windowfixture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QWidget>
#include <benchmark/benchmark.h>
#include <ctime>

namespace {

struct Sample
{
    double cpuSeconds;
    qint64 switches;
};

qint64 voluntarySwitches()
{
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QStringLiteral("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:"))
                total += line.mid(24).trimmed().toLongLong();
        }
    }
    return total;
}

Sample sample()
{
    timespec cpu{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return {double(cpu.tv_sec) + cpu.tv_nsec / 1e9, voluntarySwitches()};
}

int quietSeconds()
{
    const int seconds = qEnvironmentVariableIntValue("BENCH_IDLE_SECONDS");
    return seconds > 0 ? seconds : 10;
}

// Lets what the start set going settle, then measures a quiet stretch. The
// timer that ends the stretch is one wakeup of the measurement's own.
void measureQuiet(benchmark::State &state)
{
    runEventsFor(1000);
    const int seconds = quietSeconds();
    const Sample before = sample();
    runEventsFor(seconds * 1000);
    const Sample after = sample();
    state.SetIterationTime(seconds);
    state.counters["cpu_percent"] = 100 * (after.cpuSeconds - before.cpuSeconds) / seconds;
    state.counters["wakeups_per_s"] = double(after.switches - before.switches - 1) / seconds;
}

void BM_MinimalWindow(benchmark::State &state)
{
    QWidget window;
    window.resize(320, 240);
    window.show();
    for (auto _ : state)
        measureQuiet(state);
}
BENCHMARK(BM_MinimalWindow)->Name("idle/minimal-window")->Iterations(1)->UseManualTime();

void BM_GreenlarkAlone(benchmark::State &state)
{
    benchWindow();
    for (auto _ : state)
        measureQuiet(state);
}
BENCHMARK(BM_GreenlarkAlone)->Name("idle/greenlark-no-service")->Iterations(1)->UseManualTime();

void BM_GreenlarkConnected(benchmark::State &state)
{
    benchWindow().connectService();
    for (auto _ : state)
        measureQuiet(state);
    benchWindow().disconnectService();
}
BENCHMARK(BM_GreenlarkConnected)->Name("idle/greenlark-connected")->Iterations(1)->UseManualTime();

} // namespace

int main(int argc, char **argv)
{
    return runWindowBenchmarks(argc, argv);
}
