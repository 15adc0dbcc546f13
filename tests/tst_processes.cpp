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

const char kEndSelfVariable[] = "GREENLARK_TEST_END_SELF";
const char kLastWords[] = "written before the end\n";

// At most 15 characters, so even the kernel's command name holds all of it.
QString uniqueName(const char *stem)
{
    return QLatin1String(stem) + QString::number(getpid());
}

// Image names are file names: a copy under a new name is a new image.
QString copyAs(const QString &source, const QTemporaryDir &dir, const QString &name)
{
    const QString target = dir.filePath(name);
    if (!QFile::copy(source, target))
        return QString();
    QFile::setPermissions(target, QFile::permissions(source) | QFileDevice::ExeOwner);
    return target;
}

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

// Runs in a copy of this binary: ends every process with its own image name,
// itself included, through the platform's own handler.
int endSelf(const QByteArray &imageName)
{
    platform::setProcessEnder({});
    std::fputs(kLastWords, stdout); // a pipe, so still in the buffer until flushed
    platform::endProcessesByImageName(QString::fromLocal8Bit(imageName));
    return 0; // reached only if the process failed to end itself
}

} // namespace

class tst_Processes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void endsOnlyMatchingProcesses_data();
    void endsOnlyMatchingProcesses();
    void endsItselfLast();

private:
    QString m_sleep;
};

void tst_Processes::initTestCase()
{
    m_sleep = QStandardPaths::findExecutable(QStringLiteral("sleep"));
    QVERIFY(!m_sleep.isEmpty());
}

void tst_Processes::endsOnlyMatchingProcesses_data()
{
    QTest::addColumn<QString>("imageName");
    QTest::addColumn<bool>("ends");

    const QString victim = uniqueName("glvictim");
    QTest::newRow("image name") << victim + ".exe" << true;
    QTest::newRow("upper-case suffix") << victim + ".EXE" << true;
    QTest::newRow("suffix twice") << victim + ".exe.exe" << false;
    QTest::newRow("prefix only") << victim.left(victim.size() - 1) + ".exe" << false;
    QTest::newRow("suffix alone") << ".exe" << false;
}

void tst_Processes::endsOnlyMatchingProcesses()
{
    QFETCH(QString, imageName);
    QFETCH(bool, ends);

    QTemporaryDir dir;
    const QString victimPath = copyAs(m_sleep, dir, uniqueName("glvictim"));
    const QString bystanderPath = copyAs(m_sleep, dir, uniqueName("glother"));
    QVERIFY(!victimPath.isEmpty() && !bystanderPath.isEmpty());
    QProcess victim;
    QProcess bystander;
    victim.start(victimPath, {QStringLiteral("300")});
    bystander.start(bystanderPath, {QStringLiteral("300")});
    QVERIFY(victim.waitForStarted() && bystander.waitForStarted());

    const platform::ProcessEnder recorder = platform::setProcessEnder({});
    platform::endProcessesByImageName(imageName);
    platform::setProcessEnder(recorder);

    QCOMPARE(endingSignal(victim), ends ? SIGKILL : SIGTERM);
    QCOMPARE(endingSignal(bystander), SIGTERM);
}

void tst_Processes::endsItselfLast()
{
    // Two processes with one image name: a sleeper, and a copy of this binary
    // that ends every process of that name, itself included.
    const QString name = uniqueName("glself");
    QTemporaryDir sleeperDir;
    QTemporaryDir selfDir;
    const QString sleeperPath = copyAs(m_sleep, sleeperDir, name);
    const QString selfPath = copyAs(QCoreApplication::applicationFilePath(), selfDir, name);
    QVERIFY(!sleeperPath.isEmpty() && !selfPath.isEmpty());

    QProcess sleeper;
    sleeper.start(sleeperPath, {QStringLiteral("300")});
    QVERIFY(sleeper.waitForStarted());

    QProcess self;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(kEndSelfVariable), name + QStringLiteral(".exe"));
    self.setProcessEnvironment(environment);
    self.start(selfPath, QStringList());
    QVERIFY(self.waitForFinished(60000));

    // Ended as taskkill /f leaves it: exit status 1, not a signal, with what it
    // had written flushed; and only after the other process of its name.
    QCOMPARE(self.exitStatus(), QProcess::NormalExit);
    QCOMPARE(self.exitCode(), 1);
    QCOMPARE(self.readAllStandardOutput(), QByteArray(kLastWords));
    QCOMPARE(endingSignal(sleeper), SIGKILL);
}

// Not QTEST_GUILESS_MAIN: a copy of this binary, started by endsItselfLast,
// plays the process that ends itself instead of running the tests.
int main(int argc, char *argv[])
{
    const QByteArray endSelfName = qgetenv(kEndSelfVariable);
    if (!endSelfName.isEmpty())
        return endSelf(endSelfName);
    QCoreApplication app(argc, argv);
    tst_Processes test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processes.moc"
