// The single-instance guard. This test process is the copy that runs; later
// starts are real processes that hand their word over to it.
#include "app/greenlarkmain.h"
#include "app/myapplication.h"
#include "mainwindow/cmainwindow.h"
#include "platform/exitsignals.h"
#include "testsupport.h"

#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

namespace {

QString probePath()
{
    return QString::fromLocal8Bit(qgetenv("GREENLARK_GUARDPROBE"));
}

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

// The guard probe, with the guard's socket in `tempDir`.
void startProbe(QProcess &probe, const QStringList &arguments, const QString &tempDir)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tempDir);
    probe.setProcessEnvironment(environment);
    probe.start(probePath(), arguments);
}

// A later start hands its last argument over and leaves with 0; a copy that
// became the one that runs would never leave.
void startLaterCopy(const QStringList &arguments, const QString &tempDir = QDir::tempPath())
{
    QProcess later;
    startProbe(later, arguments, tempDir);
    QVERIFY(later.waitForFinished(20000));
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
        QVERIFY2(QFileInfo::exists(probePath()), "GREENLARK_GUARDPROBE names no program");
        qApp->setQuitOnLastWindowClosed(false);
        g_previousHandler = qInstallMessageHandler(recordMessage);
    }

    void init()
    {
        g_words.clear();
        g_ticksAt.clear();
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

        QLocalSocket silent;
        if (later) {
            startLaterCopy(arguments);
        } else {
            silent.connectToServer(QCoreApplication::applicationName());
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

    void staleSocketOfAKilledCopyIsTakenOver()
    {
        // A private folder: the copies here are not this process's.
        QTemporaryDir elsewhere;
        const auto startFirst = [&](QProcess &first) {
            first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            startProbe(first, {}, elsewhere.path());
            // Its one line of output.
            QTRY_VERIFY_WITH_TIMEOUT(first.canReadLine(), 10000);
            QCOMPARE(first.readLine(), QByteArray("guard ready\n"));
        };

        QProcess killed;
        startFirst(killed);
        killed.kill();
        QVERIFY(killed.waitForFinished(5000));
        QVERIFY2(QFileInfo::exists(elsewhere.filePath("localserver")),
                 "a killed copy leaves its socket file");

        // Nobody answers on the stale socket, so the next start must run, not leave.
        QProcess next;
        startFirst(next);
        startLaterCopy({"again"}, elsewhere.path());
        next.kill();
        next.waitForFinished(5000);
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
