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

// Not QTEST_GUILESS_MAIN: copies of this binary play the processes greenlark
// may end instead of running the tests.
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
    QCoreApplication app(argc, argv);
    tst_Processes test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processes.moc"
