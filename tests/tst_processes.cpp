// Ending processes by image name. The real ending is only ever tried on
// processes this test starts itself, from private copies under names that no
// other program uses.

#include "platform/win32.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const char kLastWords[] = "written before the end\n";
// At most 15 characters, so even the kernel's command name holds all of it. No
// other run's name is a prefix of it, nor is the prefix below another's name.
const QString kName = "glend" + QString::number(getpid()) + "z";

// Sends SIGTERM and reports the signal the process died of. A SIGKILL sent
// earlier has already doomed it, so 9 means the code under test ended it and 15
// means it left the process alone.
int endingSignal(QProcess &process)
{
    process.terminate();
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::CrashExit)
        return -1;
    return process.exitCode();
}

} // namespace

class tst_Processes : public QObject
{
    Q_OBJECT

private slots:
    void endsOnlyMatchingProcesses_data();
    void endsOnlyMatchingProcesses();
};

void tst_Processes::endsOnlyMatchingProcesses_data()
{
    QTest::addColumn<QString>("imageName");
    QTest::addColumn<bool>("otherUser"); // the sleeper runs as nobody
    QTest::addColumn<bool>("ends");      // the processes named kName

    QTest::newRow("image name") << kName + ".exe" << false << true;
    QTest::newRow("upper-case suffix") << kName + ".EXE" << false << true;
    QTest::newRow("suffix twice") << kName + ".exe.exe" << false << false;
    QTest::newRow("prefix only") << kName.chopped(1) + ".exe" << false << false;
    QTest::newRow("another user's") << kName + ".exe" << true << true;
}

void tst_Processes::endsOnlyMatchingProcesses()
{
    QFETCH(QString, imageName);
    QFETCH(bool, otherUser);
    QFETCH(bool, ends);

    if (otherUser && getuid() != 0)
        QSKIP("only root starts a process as another user");
    // A copy of this binary named kName ends the processes of `imageName`: a
    // sleeper of its name, started after it so that it comes later in /proc, and
    // a bystander of another name. Image names are file names: a copy under a new
    // name is a new image.
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther);
    auto copy = [&dir](const QString &source, const QString &name) {
        QFile::copy(source, dir.filePath(name));
        return dir.filePath(name);
    };
    QProcess ender, sleeper, bystander;
    ender.start(copy(QCoreApplication::applicationFilePath(), kName), {"--end", imageName});
    const QString sleep = QStandardPaths::findExecutable("sleep");
    const QString sleeperPath = QDir(dir.path()).mkdir("s") ? copy(sleep, "s/" + kName) : "";
    sleeper.start("setpriv", QStringList{"--reuid=" + QString::number(otherUser ? 65534 : getuid())}
                                 << "--" << sleeperPath << "300");
    bystander.start(copy(sleep, kName + "x"), {"300"});
    QVERIFY(ender.waitForStarted() && sleeper.waitForStarted() && bystander.waitForStarted());
    // setpriv becomes the copy only once it has changed user.
    QTRY_COMPARE(QFile::symLinkTarget(QString("/proc/%1/exe").arg(sleeper.processId())),
                 sleeperPath);
    ender.write("go\n");
    QVERIFY(ender.waitForFinished(60000));

    // Ended as taskkill /f leaves it: exit status 1, not a signal, with what it
    // had written flushed; and only after the other processes of its name.
    QCOMPARE(ender.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ender.exitCode(), ends ? 1 : 0);
    QCOMPARE(ender.readAllStandardOutput(), QByteArray(kLastWords));
    QCOMPARE(endingSignal(sleeper), ends && !otherUser ? SIGKILL : SIGTERM);
    QCOMPARE(endingSignal(bystander), SIGTERM);
}

// Not QTEST_GUILESS_MAIN: a copy of this binary plays the process that ends
// others, through the platform's own handler, instead of running the tests.
int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--end") == 0) {
        platform::setProcessEnder({});
        std::fputs(kLastWords, stdout); // a pipe, so still in the buffer until flushed
        std::getchar();                 // until the others have started
        platform::endProcessesByImageName(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    QCoreApplication app(argc, argv);
    tst_Processes test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processes.moc"
