// The single-instance guard, one per user. This test process is the copy that
// runs; later starts are real processes that hand their word over to it.
#include "app/greenlarkmain.h"
#include "app/myapplication.h"
#include "mainwindow/cmainwindow.h"
#include "platform/exitsignals.h"
#include "platform/userguard.h"
#include "testsupport.h"

#include <QAccessible>
#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

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

} // namespace

class tst_Guard : public QObject
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
        QTemporaryDir folder(QStringLiteral("/tmp/tst_guard-XXXXXX"));
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
};

int main(int argc, char *argv[])
{
    // The application object of the copy that runs, guard and all; the test's
    // own options are no greenlark's.
    int alone = 1;
    MyApplication app(alone, argv);
    if (app.isRunning())
        qFatal("another copy runs in this test's folder");
    tst_Guard test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_guard.moc"
