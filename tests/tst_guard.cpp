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
// had passed when each came.
QStringList g_words;
QList<int> g_ticksAt;
int g_ticks = 0;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.startsWith(QLatin1String("The value is:"))) {
        g_words << text.mid(13).trimmed();
        g_ticksAt << g_ticks;
    }
    g_previousHandler(type, context, text);
}

// The guard probe, with the guard's socket in the runtime folder `runtime`
// (none: in a folder of its user's own under the temporary one), run as `user`
// when one is given.
void startProbe(QProcess &probe, const QStringList &arguments, const QString &runtime,
                int user = -1)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty())
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    probe.setProcessEnvironment(environment);
    const QString id = QString::number(user);
    if (user < 0)
        probe.start(kProbe, arguments);
    else
        probe.start("setpriv", QStringList{"--reuid", id, "--regid", id, "--clear-groups", kProbe} +
                                   arguments);
}

// A later start hands its last argument over and leaves with 0; a copy that
// became the one that runs would never leave.
void startLaterCopy(const QStringList &arguments,
                    const QString &runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"), int user = -1)
{
    QProcess later;
    startProbe(later, arguments, runtime, user);
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
        g_ticksAt.clear();

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
            QVERIFY2(g_ticksAt.last() >= 10, qPrintable(QString::number(g_ticksAt.last())));
        }
    }

    void copiesOfTheirOwn_data()
    {
        QTest::addColumn<bool>("otherUser");
        // A copy that was killed leaves its socket file behind; nobody answers
        // on it, so the next start runs, and later starts hand over to it.
        QTest::newRow("a killed copy's stale socket") << false;
        // Two users, one temporary folder as /tmp is, no runtime folders: each
        // user's copy runs and takes its own user's later starts.
        QTest::newRow("another user's copy") << true;
    }

    void copiesOfTheirOwn()
    {
        QFETCH(bool, otherUser);
        QTemporaryDir folder;
        if (otherUser && QFileInfo(folder.path()).ownerId() != 0)
            QSKIP("only root starts a copy as another user");
        QVERIFY(::chmod(QFile::encodeName(folder.path()).constData(), 01777) == 0);
        auto back = qScopeGuard([old = qgetenv("TMPDIR")] { qputenv("TMPDIR", old); });
        qputenv("TMPDIR", QFile::encodeName(folder.path()));
        const QString runtime = otherUser ? QString() : folder.path();
        const auto startFirst = [&](QProcess &first, int user) {
            first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            startProbe(first, {}, runtime, user);
            // Its one line of output.
            QTRY_VERIFY_WITH_TIMEOUT(first.canReadLine(), 10000);
            QCOMPARE(first.readLine(), QByteArray("guard ready\n"));
        };

        QProcess first, second;
        startFirst(first, -1);
        if (otherUser) {
            startFirst(second, 65534);
            startLaterCopy({"theirs"}, runtime, 65534);
        } else {
            first.kill();
            QVERIFY(first.waitForFinished(5000));
            QVERIFY2(QFileInfo::exists(folder.filePath("localserver")), "no stale socket");
            startFirst(second, -1);
        }
        startLaterCopy({"mine"}, runtime);
        for (QProcess *copy : {&first, &second}) {
            copy->kill();
            copy->waitForFinished(5000);
        }
    }
};

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
