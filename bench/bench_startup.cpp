// How long greenlark takes from exec to its window on the screen, and the peak
// of its resident memory a second later, against a minimal Qt Widgets window:
// as Qt starts it, and without OpenGL, as greenlark starts itself, which is
// the like-for-like measure of greenlark's own work.
// Both run in turn on one virtual display (Xvfb) with a private session bus and
// private folders, so greenlark never touches the user's proxy settings;
// BENCH_STARTUP_RUNS (default 15) starts of each, medians reported.
//
// greenlark ends every process of its user and session whose executable is
// named greenlark, so the copy measured is named greenlark-bench, and its own
// exit would still end the user's greenlark: run this in a process namespace of
// its own, and a network namespace too, as the copy binds the control port.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>
#include <xcb/xcb.h>

namespace {

double nowMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Start
{
    double visibleMs = 0;
    double peakMiB = 0;
    int libraries = 0;
    QString error;
};

// The display, the bus and the folders every start shares.
class Stage
{
public:
    bool open(QString *error);
    ~Stage();
    Start run(const QString &program, const char *extra = nullptr);
    QString greenlarkCopy() const { return m_root.path() + QStringLiteral("/greenlark-bench"); }

private:
    std::vector<std::string> m_environment;
    QTemporaryDir m_root;
    QTemporaryDir m_runtime{QStringLiteral("/dev/shm/greenlark-bench-XXXXXX")};
    QProcess m_xvfb;
    QProcess m_bus;
    xcb_connection_t *m_x = nullptr;
};

bool Stage::open(QString *error)
{
    m_xvfb.start(QStringLiteral("Xvfb"),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                  QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                  QStringLiteral("1280x800x24")});
    m_bus.start(QStringLiteral("dbus-daemon"),
                {QStringLiteral("--session"), QStringLiteral("--nofork"),
                 QStringLiteral("--print-address"), QStringLiteral("--nopidfile")});
    if (!m_xvfb.waitForReadyRead(10000) || !m_bus.waitForReadyRead(10000)) {
        *error = QStringLiteral("no Xvfb or dbus-daemon: ") + m_xvfb.errorString() +
                 QStringLiteral(", ") + m_bus.errorString();
        return false;
    }
    const QByteArray display = ':' + m_xvfb.readLine().trimmed();
    m_x = xcb_connect(display.constData(), nullptr);
    if (xcb_connection_has_error(m_x) != 0) {
        *error = QStringLiteral("cannot connect to Xvfb");
        return false;
    }
    // Every top-level window mapped is reported to the root's listeners.
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_x)).data->root;
    xcb_change_window_attributes(m_x, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(m_x);

    const QString folder = m_root.path();
    for (const char *name : {"tmp", "config", "data"})
        QDir(folder).mkdir(QLatin1String(name));
    // A desktop session's runtime folder (/run/user/UID) is a memory file
    // system: /dev/shm is one where there is no session.
    const QString runtime =
        m_runtime.isValid() ? m_runtime.path() : folder + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const auto set = [&](const char *name, const QString &value) {
        environment.insert(QLatin1String(name), value);
    };
    set("DISPLAY", QString::fromLatin1(display));
    set("DBUS_SESSION_BUS_ADDRESS", QString::fromUtf8(m_bus.readLine().trimmed()));
    set("TMPDIR", folder + QStringLiteral("/tmp"));
    set("XDG_RUNTIME_DIR", runtime);
    set("XDG_CONFIG_HOME", folder + QStringLiteral("/config"));
    set("XDG_DATA_HOME", folder + QStringLiteral("/data"));
    set("GREENLARK_INTERNET_SETTINGS", folder + QStringLiteral("/internet-settings.ini"));
    set("GSETTINGS_BACKEND", QStringLiteral("keyfile"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    for (const QString &entry : environment.toStringList())
        m_environment.push_back(entry.toStdString());

    if (!QFile::copy(QStringLiteral(GREENLARK_BINARY), greenlarkCopy())) {
        *error = QStringLiteral("cannot copy ") + QStringLiteral(GREENLARK_BINARY);
        return false;
    }
    return true;
}

Stage::~Stage()
{
    if (m_x != nullptr)
        xcb_disconnect(m_x);
    for (QProcess *helper : {&m_xvfb, &m_bus}) {
        helper->terminate();
        helper->waitForFinished();
    }
}

// VmHWM, and how many shared objects are mapped.
void readMemory(pid_t pid, Start *start)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                start->peakMiB = line.mid(6).trimmed().split(' ').front().toDouble() / 1024;
        }
    }
    QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
    std::set<QByteArray> objects;
    if (maps.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : maps.readAll().split('\n')) {
            const int slash = line.indexOf('/');
            if (slash > 0 && line.contains(".so"))
                objects.insert(line.mid(slash));
        }
    }
    start->libraries = int(objects.size());
}

// extra: one more NAME=VALUE for this start.
Start Stage::run(const QString &program, const char *extra)
{
    Start start;
    const std::string path = program.toStdString();
    std::vector<char *> environment;
    for (std::string &entry : m_environment)
        environment.push_back(entry.data());
    if (extra != nullptr)
        environment.push_back(const_cast<char *>(extra));
    environment.push_back(nullptr);
    char *const argv[] = {const_cast<char *>(path.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // What the programs print is not the benchmark's.
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const double spawned = nowMs();
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
        start.error = QStringLiteral("cannot start ") + program;
        return start;
    }
    pollfd x{xcb_get_file_descriptor(m_x), POLLIN, 0};
    while (start.visibleMs == 0 && nowMs() - spawned < 10000) {
        while (xcb_generic_event_t *event = xcb_poll_for_event(m_x)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY &&
                !reinterpret_cast<xcb_map_notify_event_t *>(event)->override_redirect &&
                start.visibleMs == 0)
                start.visibleMs = nowMs() - spawned;
            free(event);
        }
        if (start.visibleMs == 0)
            poll(&x, 1, 100);
    }
    if (start.visibleMs == 0)
        start.error = program + QStringLiteral(" showed no window within 10 s");
    else {
        const timespec second{1, 0};
        nanosleep(&second, nullptr);
        readMemory(pid, &start);
    }
    kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    // greenlark gives the settings back and leaves with 0; the reference may
    // simply die of the signal.
    const bool greenlark = program == greenlarkCopy();
    if (start.error.isEmpty() && greenlark && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
        start.error = QStringLiteral("greenlark did not end with status 0 on SIGTERM");
    // Events of this run's windows going away are not the next run's.
    while (xcb_generic_event_t *event = xcb_poll_for_event(m_x))
        free(event);
    return start;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void BM_Startup(benchmark::State &state)
{
    Stage stage;
    QString error;
    if (!stage.open(&error)) {
        state.SkipWithError(qPrintable(error));
        return;
    }
    const int asked = qEnvironmentVariableIntValue("BENCH_STARTUP_RUNS");
    const int runs = asked > 0 ? asked : 15;
    // The reference as Qt starts it, and without OpenGL; then greenlark.
    struct Program
    {
        const char *name;
        QString path;
        const char *extra;
    };
    const Program programs[] = {
        {"minimal", QStringLiteral(MINIMAL_WINDOW), nullptr},
        {"minimal_nogl", QStringLiteral(MINIMAL_WINDOW), "QT_XCB_GL_INTEGRATION=none"},
        {"greenlark", stage.greenlarkCopy(), nullptr}};
    constexpr int kPrograms = int(std::size(programs));
    std::vector<Start> starts[kPrograms];
    for (auto _ : state) {
        for (int i = 0; i < runs; ++i) {
            // Rotating which goes first, so none always finds the caches warmer.
            for (int k = 0; k < kPrograms; ++k) {
                const int which = (i + k) % kPrograms;
                const Start start = stage.run(programs[which].path, programs[which].extra);
                if (!start.error.isEmpty()) {
                    state.SkipWithError(qPrintable(start.error));
                    return;
                }
                starts[which].push_back(start);
            }
        }
    }
    const auto medianOf = [](const std::vector<Start> &runsOf, double Start::*field) {
        std::vector<double> values;
        for (const Start &s : runsOf)
            values.push_back(s.*field);
        return median(values);
    };
    for (int which = 0; which < kPrograms; ++which) {
        const std::string name = programs[which].name;
        state.counters[name + "_ms"] = medianOf(starts[which], &Start::visibleMs);
        state.counters[name + "_peak_MiB"] = medianOf(starts[which], &Start::peakMiB);
        state.counters[name + "_libraries"] = starts[which].back().libraries;
    }
    state.counters["runs"] = double(runs);
}
BENCHMARK(BM_Startup)->Name("startup")->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
