// Copies of greenlark. The single-instance guard, one per user: this test
// process is the copy that runs; later starts are real processes that hand
// their word over to it. Ending processes by image name: whose processes end,
// as a table, and the ending itself, tried only on processes this test starts
// itself, from private copies under names that no other program uses.
#include "app/greenlarkmain.h"
#include "app/myapplication.h"
#include "mainwindow/cmainwindow.h"
#include "platform/exitsignals.h"
#include "platform/userguard.h"
#include "platform/win32.h"
#include "testsupport.h"

#include <QAccessible>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>

namespace {

const QString kProbe = qEnvironmentVariable("GREENLARK_GUARDPROBE");

// The words the guard took, as it logs them, and how many ticks of a test timer
// had passed when the last came.
QStringList g_words;
int g_ticksAtLast = 0;
int g_ticks = 0;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.startsWith(QLatin1String("The value is:"))) {
        g_words << text.mid(13).trimmed();
        g_ticksAtLast = g_ticks;
    }
    g_previousHandler(type, context, text);
}

// The guard probe, with the guard's socket in the runtime folder `runtime`
// (none: in a folder of its user's own under the temporary one), run as `user`
// from `program` when one is given.
void startProbe(QProcess &probe, const QStringList &arguments, const QString &runtime,
                int user = -1, const QString &program = kProbe)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty())
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    QStringList command{program};
    if (user >= 0) {
        const QString id = QString::number(user);
        command = QStringList{"setpriv", "--reuid", id, "--regid", id, "--clear-groups"} + command;
        // The leaks' suppressions in the build tree may be out of that user's
        // reach; this user's copies are checked for leaks.
        environment.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    }
    probe.setProcessEnvironment(environment);
    const QString first = command.takeFirst();
    probe.start(first, command + arguments);
}

// A later start hands its last argument over and leaves with 0; a copy that
// became the one that runs would never leave.
void startLaterCopy(const QStringList &arguments,
                    const QString &runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"), int user = -1,
                    const QString &program = kProbe)
{
    QProcess later;
    startProbe(later, arguments, runtime, user, program);
    // The word stays in a Windows pipe until this copy's event loop reads it.
    QTRY_VERIFY_WITH_TIMEOUT(later.state() == QProcess::NotRunning, 20000);
    QVERIFY(later.exitStatus() == QProcess::NormalExit && later.exitCode() == 0);
}

const char kInOrder[] = "ended in order";
const char kLeftAlone[] = "left alone";
// No other run's name is a prefix of it.
const QString kName = "glend" + QString::number(QCoreApplication::applicationPid()) + "z";

// Whether the process was ended, once its input is closed: one left alone
// leaves then by itself, and says so. An ending sent earlier has already doomed it.
bool wasEnded(QProcess &process)
{
    process.closeWriteChannel();
    return !process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
           process.readAllStandardOutput().trimmed() != kLeftAlone;
}

} // namespace

Q_DECLARE_METATYPE(platform::ProcessFacts)

class tst_Copies : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(storesNotPrivate().isEmpty(), qPrintable(storesNotPrivate()));
        QVERIFY2(QFileInfo::exists(kProbe), "GREENLARK_GUARDPROBE names no program");
        qApp->setQuitOnLastWindowClosed(false);
        g_previousHandler = qInstallMessageHandler(recordMessage);
        // What a screen reader calls it; its object name is the guard's.
        QCOMPARE(QAccessible::queryAccessibleInterface(qApp)->text(QAccessible::Name), "greenlark");
    }

    void handOver_data()
    {
        QTest::addColumn<bool>("later"); // false: a client that connects and says nothing
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("word");

        QTest::newRow("last of several")
            << true << QStringList{"first", "second", "third"} << "third";
        QTest::newRow("only the first word") << true << QStringList{"hello big world"} << "hello";
        QTest::newRow("no argument") << true << QStringList{} << "";
        QTest::newRow("silent client") << false << QStringList{} << "";
    }

    void handOver()
    {
        QFETCH(bool, later);
        QFETCH(QStringList, arguments);
        QFETCH(QString, word);

        CMainWindow window;
        ExitSignals exitSignals;
        connectWindow(*qobject_cast<MyApplication *>(qApp), exitSignals, window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.setWindowState(Qt::WindowMinimized);
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [] { ++g_ticks; });
        ticker.start(20);
        g_ticks = 0;
        g_words.clear();

        QLocalSocket silent;
        if (later) {
            startLaterCopy(arguments);
        } else {
            silent.connectToServer(platform::userGuardName(QCoreApplication::applicationName()));
            QVERIFY(silent.waitForConnected(5000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(g_words, QStringList{word}, 5000);
        if (later) {
            // The user started it again to find it: the window comes up.
            QTRY_VERIFY(window.isVisible() && !window.isMinimized());
        } else {
            // Given up on in the end, and no reason to come up; but the ticks went on
            // meanwhile: a guard that waited for the word would have held them up
            // for the whole second.
            QVERIFY(window.isMinimized());
            QVERIFY2(g_ticksAtLast >= 10, qPrintable(QString::number(g_ticksAtLast)));
        }
    }

    void copiesOfTheirOwn_data()
    {
        QTest::addColumn<bool>("otherUser");
        // A double-click, or autostart beside a session's restore: of two starts at
        // once one runs and the other hands over to it, every time. The copy that
        // runs is killed, and leaves its socket and its lock to the next trial:
        // nobody answers there, so they are taken over. Others may enter the
        // runtime folder: the guard is in the user's own under the temporary one.
        QTest::newRow("two starts at once") << false;
        // Two users, one temporary folder as /tmp is, no runtime folders: each
        // user's copy runs and takes its own user's later starts.
        QTest::newRow("another user's copy") << true;
    }

    void copiesOfTheirOwn()
    {
        QFETCH(bool, otherUser);
        // Under the system's temporary folder, whatever folder the build is in: the
        // other user reaches the folders and the probe there.
        QTemporaryDir folder(QStringLiteral("/tmp/tst_copies-XXXXXX"));
        const uint me = QFileInfo(folder.path()).ownerId();
        if (otherUser && me != 0)
            QSKIP("only root starts a copy as another user");
        const QString temporary = folder.filePath("tmp");
        const QString runtime = otherUser ? QString() : folder.filePath("runtime");
        const QString program = folder.filePath("guardprobe");
        QVERIFY(QDir().mkpath(temporary) && QFile::copy(kProbe, program));
        QVERIFY(::chmod(QFile::encodeName(folder.path()).constData(), 0755) == 0);
        QVERIFY(::chmod(QFile::encodeName(temporary).constData(), 01777) == 0);
        QVERIFY(otherUser || (QDir().mkpath(runtime) &&
                              ::chmod(QFile::encodeName(runtime).constData(), 0755) == 0));
        auto back = qScopeGuard([old = qgetenv("TMPDIR")] { qputenv("TMPDIR", old); });
        qputenv("TMPDIR", QFile::encodeName(temporary));
        const QString socket = temporary + "/greenlark-" + QString::number(me) + "/localserver";
        // A copy that runs says so; a later start leaves with 0.
        const auto ran = [](QProcess &copy, bool running) {
            return running ? copy.canReadLine()
                           : copy.state() == QProcess::NotRunning && copy.exitCode() == 0;
        };
        for (int trial = 0; trial < (otherUser ? 1 : 30); ++trial) {
            QVERIFY(trial == 0 || QFileInfo::exists(socket));
            QProcess copies[2];
            startProbe(copies[0], {}, runtime, -1, program);
            startProbe(copies[1], {}, runtime, otherUser ? 65534 : -1, program);
            QTRY_VERIFY2_WITH_TIMEOUT((ran(copies[0], true) && ran(copies[1], otherUser)) ||
                                          (ran(copies[1], true) && ran(copies[0], otherUser)),
                                      qPrintable(QString::number(trial)), 20000);
            if (otherUser) {
                startLaterCopy({"theirs"}, runtime, 65534, program);
                startLaterCopy({"mine"}, runtime, -1, program);
            }
            for (QProcess &copy : copies) {
                copy.kill();
                copy.waitForFinished(5000);
            }
        }
    }

    void whoseProcesses_data()
    {
        QTest::addColumn<platform::ProcessFacts>("process"); // not ended by greenlark's call

        // greenlark ends its own names, spelt "name.exe" as on Windows; its own
        // session's processes of that name end in endsOthersOfItsName, and those
        // of another name are left there. Other users and logins are none of a
        // test's.
        using Facts = platform::ProcessFacts;
        QTest::newRow("same user, another login") << Facts{"1000", 8, "v2ray"};
        QTest::newRow("same user, no login of its own") << Facts{"1000", std::nullopt, "v2ray"};
        QTest::newRow("another user") << Facts{"0", 7, "v2ray"};
        // Its command name is what it says of itself, so none is taken instead.
        QTest::newRow("executable unreadable") << Facts{"1000", 7, ""};
    }
    void whoseProcesses()
    {
        QFETCH(platform::ProcessFacts, process);
        QVERIFY(!platform::endsWithThis(process, {"1000", 7, "greenlark"}, "v2ray.exe"));
    }
    void endsOthersOfItsName()
    {
        // On Windows this process's guard is the user's whatever the runtime
        // folder: the greenlark started below would hand over to it. Closed, the
        // lock it keeps has that greenlark run unguarded, after a wait.
        qApp->findChild<QLocalServer *>()->close();
        // greenlark, copied under a name of this run's own, ends the stand-ins
        // it is told to end for the service's and its own names as it quits.
        // Those of the service's end at once. Its copies are asked: one that
        // answers ends in order, one that cannot (no window, SIGTERM ignored) is
        // forced in the end. A bystander of another name is left alone, and
        // greenlark itself ends in order. Before, a copy that holds no journal
        // (on Linux, one the guard cannot see) leaves it and its service
        // running when it quits.
        // Image names are file names: a copy under a new name is a new image.
        QTemporaryDir dir;
        const QString exe = isWindows() ? ".exe" : "";
        // Wine's prefix is the test's own: the service's names end nothing else there.
        const QStringList services = isWindows() ? QStringList{"v2ray", "background"}
                                                 : QStringList{kName + "v", kName + "b"};
        // Windows looks for their libraries beside them, else on the PATH; Qt
        // for its plugins beside them, else on QT_PLUGIN_PATH. A close message
        // reaches only a native window.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString here = QCoreApplication::applicationDirPath();
        environment.insert("PATH", here + QDir::listSeparator() + environment.value("PATH"));
        environment.insert("QT_PLUGIN_PATH", here);
        environment.insert("QT_QPA_PLATFORM", isWindows() ? "windows" : "offscreen");
        environment.insert("GREENLARK_APPPROBE_ENDS",
                           QStringList{services[0], services[1], kName}.join(".exe ") + ".exe");
        // In a folder of its own, its runtime folder too (a guard of its own).
        auto start = [&](QProcess &process, const QString &folder, const QString &program,
                         const QStringList &arguments, const QString &name = kName) {
            // The user's alone, as a guard takes no other.
            QDir(dir.path()).mkpath(folder);
            QFile::setPermissions(dir.filePath(folder), QFileDevice::ReadOwner |
                                                            QFileDevice::WriteOwner |
                                                            QFileDevice::ExeOwner);
            environment.insert("XDG_RUNTIME_DIR", dir.filePath(folder));
            QFile::copy(program, dir.filePath(folder + '/' + name + exe));
            process.setProcessEnvironment(environment);
            process.start(dir.filePath(folder + '/' + name + exe), arguments);
            QVERIFY(process.waitForStarted());
            // "running" or "ready" once it can be ended in order.
            QTRY_VERIFY_WITH_TIMEOUT(arguments == QStringList{"--sleep"} || process.canReadLine(),
                                     30000);
        };
        const QString self = QCoreApplication::applicationFilePath();
        const QString probe = here + "/greenlark_appprobe" + exe;
        QProcess greenlark, withoutJournal, silentCopy, orderlyCopy, bystander, service[2];
        start(greenlark, "g", probe, {});
        start(silentCopy, "s", self, {"--sleep"});
        start(orderlyCopy, "o", self, {"--window"});
        start(bystander, "b", self, {"--sleep"}, kName + "x");
        for (int i = 0; i < 2; ++i)
            start(service[i], "v" + QString::number(i), self, {"--sleep"}, services[i]);
        if (!isWindows()) { // where two copies of a user's meet at the guard
            // The second copy's quit leaves the first and its service running.
            start(withoutJournal, "n", probe, {});
            withoutJournal.terminate();
            QVERIFY(withoutJournal.waitForFinished(20000) && withoutJournal.exitCode() == 0);
            QVERIFY(!greenlark.waitForFinished(0) && !service[0].waitForFinished(0));
        }
        // A file gone while it runs, as an update replaces it: still its name.
        // Windows keeps a running program's file.
        QVERIFY(QFile::remove(dir.filePath("v0/" + services[0] + exe)) || isWindows());
        greenlark.terminate();

        for (QProcess *inOrder : {&greenlark, &orderlyCopy}) {
            QVERIFY(inOrder->waitForFinished(20000));
            QCOMPARE(inOrder->exitStatus(), QProcess::NormalExit);
            QCOMPARE(inOrder->exitCode(), 0);
        }
        QVERIFY(orderlyCopy.readAllStandardOutput().contains(kInOrder));
        QVERIFY(wasEnded(silentCopy));
        QVERIFY(wasEnded(service[0]) && wasEnded(service[1]));
        QVERIFY(!wasEnded(bystander));
    }
};

// Copies of this binary play the processes greenlark may end instead of
// running the tests.
int main(int argc, char *argv[])
{
    if (argc == 2 && qstrcmp(argv[1], "--sleep") == 0) {
        std::signal(SIGTERM, SIG_IGN);
        while (std::getchar() != EOF) {
        }
        std::puts(kLeftAlone);
        return 0;
    }
    if (argc == 2 && qstrcmp(argv[1], "--window") == 0) {
        QApplication app(argc, argv);
        ExitSignals exitSignals;
        QObject::connect(&exitSignals, &ExitSignals::exitRequested, &app, &QApplication::quit);
        QWidget window;
        window.show();
        std::puts("ready");
        std::fflush(stdout);
        const int status = app.exec();
        std::puts(kInOrder);
        return status;
    }
    // The application object of the copy that runs, guard and all; the test's
    // own options are no greenlark's.
    int alone = 1;
    MyApplication app(alone, argv);
    if (app.isRunning())
        qFatal("another copy runs in this test's folder");
    tst_Copies test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_copies.moc"
