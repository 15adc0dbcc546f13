// Ending processes by image name: whose processes end, as a table, and the
// ending itself, tried only on processes this test starts itself, from private
// copies under names that no other program uses.

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

const char kLastWords[] = "written before the others end\n";
// No other run's name is a prefix of it.
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

Q_DECLARE_METATYPE(platform::ProcessFacts)

class tst_Processes : public QObject
{
    Q_OBJECT

private slots:
    void whoseProcesses_data()
    {
        QTest::addColumn<platform::ProcessFacts>("process");
        QTest::addColumn<bool>("ends");

        // greenlark ends its own names, spelt "name.exe" as on Windows.
        using Facts = platform::ProcessFacts;
        QTest::newRow("same user, same session") << Facts{1000, 7, "v2ray"} << true;
        QTest::newRow("same user, another login") << Facts{1000, 8, "v2ray"} << false;
        QTest::newRow("same user, no login of its own")
            << Facts{1000, std::nullopt, "v2ray"} << false;
        QTest::newRow("another user") << Facts{0, 7, "v2ray"} << false;
        QTest::newRow("another name") << Facts{1000, 7, "v2ra"} << false;
        // Its command name is what it says of itself, so none is taken instead.
        QTest::newRow("executable unreadable") << Facts{1000, 7, ""} << false;
    }
    void whoseProcesses()
    {
        QFETCH(platform::ProcessFacts, process);
        QFETCH(bool, ends);

        QCOMPARE(platform::endsWithThis(process, {1000, 7, "greenlark"}, "v2ray.exe"), ends);
    }
    void endsOthersOfItsName()
    {
        // A copy of this binary named kName ends the processes of its own name: a
        // sleeper of that name, started after it so that it comes later in /proc,
        // but not a bystander of another name, nor itself. Image names are file
        // names: a copy under a new name is a new image.
        QTemporaryDir dir;
        auto copy = [&dir](const QString &source, const QString &name) {
            QFile::copy(source, dir.filePath(name));
            return dir.filePath(name);
        };
        QProcess ender, sleeper, bystander;
        ender.start(copy(QCoreApplication::applicationFilePath(), kName),
                    {"--end", kName + ".exe"});
        const QString sleep = QStandardPaths::findExecutable("sleep");
        sleeper.start(QDir(dir.path()).mkdir("s") ? copy(sleep, "s/" + kName) : "", {"300"});
        bystander.start(copy(sleep, kName + "x"), {"300"});
        QVERIFY(ender.waitForStarted() && sleeper.waitForStarted() && bystander.waitForStarted());
        // The sleeper's file gone while it runs, as an update replaces it: still its name.
        QVERIFY(QFile::remove(dir.filePath("s/" + kName)));
        ender.write("go\n");
        QVERIFY(ender.waitForFinished(60000));

        // It goes on after the others have ended, to its own orderly end.
        QCOMPARE(ender.exitStatus(), QProcess::NormalExit);
        QCOMPARE(ender.exitCode(), 0);
        QCOMPARE(ender.readAllStandardOutput(), QByteArray(kLastWords));
        QCOMPARE(endingSignal(sleeper), SIGKILL);
        QCOMPARE(endingSignal(bystander), SIGTERM);
    }
};

// Not QTEST_GUILESS_MAIN: a copy of this binary plays the process that ends
// others, through the platform's own handler, instead of running the tests.
int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--end") == 0) {
        platform::setProcessEnder({});
        std::fputs(kLastWords, stdout);
        std::getchar(); // until the others have started
        platform::endProcessesByImageName(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    QCoreApplication app(argc, argv);
    tst_Processes test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processes.moc"
