// Ending processes by image name: whose processes end, as a table, and the
// ending itself, tried only on processes this test starts itself, from private
// copies under names that no other program uses.

#include "platform/exitsignals.h"
#include "platform/win32.h"
#include "testsupport.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>

namespace {

const char kLastWords[] = "written after the others ended";
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
        QTest::newRow("same user, same session") << Facts{"1000", 7, "v2ray"} << true;
        QTest::newRow("same user, another login") << Facts{"1000", 8, "v2ray"} << false;
        QTest::newRow("same user, no login of its own")
            << Facts{"1000", std::nullopt, "v2ray"} << false;
        QTest::newRow("another user") << Facts{"0", 7, "v2ray"} << false;
        QTest::newRow("another name") << Facts{"1000", 7, "v2ra"} << false;
        // Its command name is what it says of itself, so none is taken instead.
        QTest::newRow("executable unreadable") << Facts{"1000", 7, ""} << false;
    }
    void whoseProcesses()
    {
        QFETCH(platform::ProcessFacts, process);
        QFETCH(bool, ends);

        QCOMPARE(platform::endsWithThis(process, {"1000", 7, "greenlark"}, "v2ray.exe"), ends);
    }
    void endsOthersOfItsName()
    {
        // Copies of this binary: one named kName ends the processes of the
        // service's names and of its own. Those of the service's end at once.
        // Its own copies are asked: one answers and ends in order, one that
        // cannot answer (no window, SIGTERM ignored) is forced in the end. A
        // bystander of another name is left alone, and so is the ender. Image
        // names are file names: a copy under a new name is a new image.
        QTemporaryDir dir;
        const QString exe = isWindows() ? ".exe" : "";
        // Wine's prefix is the test's own: the service's names end nothing else there.
        const QStringList services = isWindows() ? QStringList{"v2ray", "background"}
                                                 : QStringList{kName + "v", kName + "b"};
        // Windows looks for their libraries beside them, else on the PATH; Qt
        // for its plugins beside them, else on QT_PLUGIN_PATH.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH", QCoreApplication::applicationDirPath() + QDir::listSeparator() +
                                       environment.value("PATH"));
        environment.insert("QT_PLUGIN_PATH", QCoreApplication::applicationDirPath());
        auto start = [&](QProcess &process, const QString &name, const QStringList &arguments) {
            QDir(dir.path()).mkpath(QFileInfo(name).path());
            QFile::copy(QCoreApplication::applicationFilePath(), dir.filePath(name + exe));
            process.setProcessEnvironment(environment);
            process.start(dir.filePath(name + exe), arguments);
            return process.waitForStarted();
        };
        QProcess ender, silentCopy, orderlyCopy, bystander, service[2];
        QVERIFY(start(ender, kName,
                      {"--end", kName + ".exe", services[0] + ".exe", services[1] + ".exe"}));
        QVERIFY(start(silentCopy, "s/" + kName, {"--sleep"}));
        // A window that a close message reaches, on Windows a native one.
        environment.insert("QT_QPA_PLATFORM", isWindows() ? "windows" : "offscreen");
        QVERIFY(start(orderlyCopy, "o/" + kName, {"--window"}));
        QVERIFY(start(bystander, kName + "x", {"--sleep"}));
        for (int i = 0; i < 2; ++i)
            QVERIFY(start(service[i], services[i], {"--sleep"}));
        // A file gone while it runs, as an update replaces it: still its name.
        // Windows keeps a running program's file.
        QVERIFY(QFile::remove(dir.filePath(services[0] + exe)) || isWindows());
        QTRY_VERIFY_WITH_TIMEOUT(orderlyCopy.canReadLine(), 20000);
        ender.write("go\n");
        QVERIFY(ender.waitForFinished(60000));

        // It goes on after the others have ended, to its own orderly end.
        QCOMPARE(ender.exitStatus(), QProcess::NormalExit);
        QCOMPARE(ender.exitCode(), 0);
        QCOMPARE(ender.readAllStandardOutput().trimmed(), QByteArray(kLastWords));
        QVERIFY(orderlyCopy.waitForFinished(1000));
        QCOMPARE(orderlyCopy.exitStatus(), QProcess::NormalExit);
        QCOMPARE(orderlyCopy.exitCode(), 0);
        QVERIFY(orderlyCopy.readAllStandardOutput().contains(kInOrder));
        QVERIFY(wasEnded(silentCopy));
        QVERIFY(wasEnded(service[0]) && wasEnded(service[1]));
        QVERIFY(!wasEnded(bystander));
    }
};

// Not QTEST_GUILESS_MAIN: copies of this binary play the process that ends
// others, through the platform's own handler, and the processes it may end,
// instead of running the tests.
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
    if (argc > 2 && qstrcmp(argv[1], "--end") == 0) {
        platform::setProcessEnder({});
        std::getchar(); // until the others have started
        for (int i = 2; i < argc; ++i)
            platform::endProcessesByImageName(QString::fromLocal8Bit(argv[i]));
        std::puts(kLastWords);
        return 0;
    }
    QCoreApplication app(argc, argv);
    tst_Processes test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processes.moc"
