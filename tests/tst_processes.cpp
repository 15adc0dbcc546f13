// Ending processes by image name: whose processes end, as a table, and the
// ending itself, tried only on processes this test starts itself, from private
// copies under names that no other program uses.

#include "platform/win32.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {

const char kLastWords[] = "written before the others end";
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
        // Copies of this binary: one named kName ends the processes of its own
        // name, a sleeper of that name, started after it so that it comes later in
        // /proc, but not a bystander of another name, nor itself. Image names are
        // file names: a copy under a new name is a new image.
        QTemporaryDir dir;
        const QString exe = isWindows() ? ".exe" : "";
        // Windows looks for their libraries beside them, else on the PATH.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH", QCoreApplication::applicationDirPath() + QDir::listSeparator() +
                                       environment.value("PATH"));
        auto start = [&](QProcess &process, const QString &name, const char *role) {
            QFile::copy(QCoreApplication::applicationFilePath(), dir.filePath(name + exe));
            process.setProcessEnvironment(environment);
            process.start(dir.filePath(name + exe), {role, kName + ".exe"});
            return process.waitForStarted();
        };
        QProcess ender, sleeper, bystander;
        QVERIFY(start(ender, kName, "--end") && QDir(dir.path()).mkdir("s") &&
                start(sleeper, "s/" + kName, "--sleep") &&
                start(bystander, kName + "x", "--sleep"));
        // The sleeper's file gone while it runs, as an update replaces it: still its
        // name. Windows keeps a running program's file.
        QVERIFY(QFile::remove(dir.filePath("s/" + kName + exe)) || isWindows());
        ender.write("go\n");
        QVERIFY(ender.waitForFinished(60000));

        // It goes on after the others have ended, to its own orderly end.
        QCOMPARE(ender.exitStatus(), QProcess::NormalExit);
        QCOMPARE(ender.exitCode(), 0);
        QVERIFY(ender.readAllStandardOutput().contains(kLastWords)); // taskkill may say more
        QCOMPARE(wasEnded(sleeper), !wineLacks("taskkill-filters"));
        QVERIFY(!wasEnded(bystander));
    }
};

// Not QTEST_GUILESS_MAIN: copies of this binary play the process that ends
// others, through the platform's own handler, and the processes it may end,
// instead of running the tests.
int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--sleep") == 0) {
        while (std::getchar() != EOF) {
        }
        std::puts(kLeftAlone);
        return 0;
    }
    if (argc == 3 && qstrcmp(argv[1], "--end") == 0) {
        platform::setProcessEnder({});
        std::puts(kLastWords);
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
