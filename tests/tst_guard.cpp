// The single-instance guard, one per user. This test process is the copy that
// runs; later starts are real processes that hand their word over to it.
#include "app/greenlarkmain.h"
#include "app/myapplication.h"
#include "mainwindow/cmainwindow.h"
#include "platform/exitsignals.h"
#include "platform/userguard.h"
#include "testsupport.h"

#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString probePath()
{
    return QString::fromLocal8Bit(qgetenv("GREENLARK_GUARDPROBE"));
}

// The debug lines of this process, as the guard writes them, and how many ticks
// of a test timer had passed when each came.
QStringList g_log;
QList<int> g_ticksAt;
int g_ticks = 0;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    g_log << text;
    g_ticksAt << g_ticks;
    g_previousHandler(type, context, text);
}

QStringList handedOverWords()
{
    QStringList words;
    for (const QString &line : qAsConst(g_log)) {
        if (line.startsWith(QLatin1String("The value is:")))
            words << line.mid(13).trimmed();
    }
    return words;
}

// The environment of a copy whose guard lives in `runtime` (none: in a folder
// of its user's own under the temporary folder), run as `user` when given.
QProcessEnvironment copyEnvironment(const QString &runtime)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty())
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    return environment;
}

void startAs(QProcess &process, const QString &program, int user = -1,
             const QStringList &arguments = {})
{
    if (user < 0)
        process.start(program, arguments);
    else
        process.start("setpriv", QStringList{"--reuid", QString::number(user), "--regid",
                                             QString::number(user), "--clear-groups", program} +
                                     arguments);
}

// A later start: hands its last argument over and leaves with 0.
void startLaterCopy(const QStringList &arguments,
                    const QString &runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"), int user = -1)
{
    QProcess later;
    later.setProcessEnvironment(copyEnvironment(runtime));
    startAs(later, probePath(), user, arguments);
    QVERIFY(later.waitForFinished(20000));
    QCOMPARE(later.exitStatus(), QProcess::NormalExit);
    QCOMPARE(later.exitCode(), 0);
    QVERIFY(later.readAllStandardError().contains("Connected server,program will quit"));
    // It never becomes a copy that runs.
    QVERIFY(!later.readAllStandardOutput().contains("guard ready"));
}

} // namespace

class tst_Guard : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void laterStartHandsOverItsLastArgument_data();
    void laterStartHandsOverItsLastArgument();
    void silentClientHoldsNothingUp();
    void staleSocketOfAKilledCopyIsTakenOver();
    void eachUserHasItsOwnCopy();
};

void tst_Guard::initTestCase()
{
    QVERIFY2(storesNotPrivate().isEmpty(), qPrintable(storesNotPrivate()));
    QVERIFY2(QFileInfo::exists(probePath()), "GREENLARK_GUARDPROBE names no program");
    qApp->setQuitOnLastWindowClosed(false);
    g_previousHandler = qInstallMessageHandler(recordMessage);
}

void tst_Guard::init()
{
    g_log.clear();
    g_ticksAt.clear();
}

void tst_Guard::laterStartHandsOverItsLastArgument_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("word");

    QTest::newRow("last of several") << QStringList{"first", "second", "third"} << "third";
    QTest::newRow("only the first word") << QStringList{"hello big world"} << "hello";
    QTest::newRow("no argument") << QStringList{} << "";
}

void tst_Guard::laterStartHandsOverItsLastArgument()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, word);

    CMainWindow window;
    ExitSignals exitSignals;
    connectWindow(*qobject_cast<MyApplication *>(qApp), exitSignals, window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setWindowState(Qt::WindowMinimized);

    startLaterCopy(arguments);
    QTRY_COMPARE(handedOverWords(), QStringList{word});
    // The user started it again to find it: the window comes up.
    QTRY_VERIFY(window.isVisible() && !window.isMinimized());
}

void tst_Guard::silentClientHoldsNothingUp()
{
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [] { ++g_ticks; });
    ticker.start(20);
    g_ticks = 0;
    QLocalSocket silent;
    silent.connectToServer(platform::userGuardName(QCoreApplication::applicationName()));
    QVERIFY(silent.waitForConnected(5000));

    // Given up on in the end, but the window's ticks went on meanwhile: a guard
    // that waited for the word would have held them up for the whole second.
    QTRY_COMPARE_WITH_TIMEOUT(handedOverWords(), QStringList{""}, 5000);
    QVERIFY2(g_ticksAt.last() >= 10, qPrintable(QString::number(g_ticksAt.last())));
}

// A first copy, running once it listens.
void startFirst(QProcess &first, const QString &runtime, int user = -1)
{
    first.setProcessEnvironment(copyEnvironment(runtime));
    first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    startAs(first, probePath(), user);
    QVERIFY(first.waitForStarted(5000));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += first.readAllStandardOutput()).contains("guard ready"),
                             10000);
}

void tst_Guard::staleSocketOfAKilledCopyIsTakenOver()
{
    QTemporaryDir elsewhere;
    QProcess killed;
    startFirst(killed, elsewhere.path());
    killed.kill();
    QVERIFY(killed.waitForFinished(5000));
    QVERIFY2(QFileInfo::exists(elsewhere.filePath("localserver")),
             "a killed copy leaves its socket file");

    // Nobody answers on the stale socket, so the next start must run, not leave.
    QProcess next;
    startFirst(next, elsewhere.path());
    startLaterCopy({"again"}, elsewhere.path());
    QCOMPARE(next.state(), QProcess::Running);
    next.kill();
    next.waitForFinished(5000);
}

void tst_Guard::eachUserHasItsOwnCopy()
{
    if (getuid() != 0)
        QSKIP("only root starts a copy as another user");
    // One temporary folder for both, as /tmp is, and no runtime folders.
    QTemporaryDir shared;
    QVERIFY(::chmod(QFile::encodeName(shared.path()).constData(), 01777) == 0);
    auto back = qScopeGuard([old = qgetenv("TMPDIR")] { qputenv("TMPDIR", old); });
    qputenv("TMPDIR", QFile::encodeName(shared.path()));
    QProcess mine, theirs;
    startFirst(mine, QString());
    startFirst(theirs, QString(), 65534);
    startLaterCopy({"to-mine"}, QString());
    startLaterCopy({"to-theirs"}, QString(), 65534);
    for (QProcess *copy : {&mine, &theirs}) {
        copy->kill();
        copy->waitForFinished(5000);
    }
}

int main(int argc, char *argv[])
{
    // The application object of the copy that runs, guard and all.
    MyApplication app(argc, argv);
    if (app.isRunning())
        qFatal("another copy runs in this test's folder");
    tst_Guard test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_guard.moc"
