// The user's own proxy options survive every way greenlark can end: signals,
// kills in a row, a user who changes them while greenlark is down, a journal
// that is damaged, a restore that cannot be written, a logoff that is cancelled.
#include "mainwindow/cmainwindow.h"
#include "platform/proxyjournal.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

// An empty bypass list and no PAC address: an absent string must not come back
// as an empty one, nor the other way round.
const ProxyOptions kUserA{11, "corp-proxy:3128", "", QString(), 13};
const ProxyOptions kUserB{5, QString(), QString(), "http://wpad/wpad.dat", 1};
// What a run that was killed leaves in the store, and what is left to give
// back when nothing says what the user had.
const ProxyOptions kOwnGlobal{3, "127.0.0.1:1081", kOwnBypass, QString(), 13};
const ProxyOptions kDirect{1, QString(), QString(), QString(), 13};

// A greenlark that has set its proxy; ended with `signal`, as a crash, a kill or
// a logout ends it.
void runAndEnd(int signal, QByteArray *output = nullptr)
{
    QProcess probe;
    probe.start(qEnvironmentVariable("GREENLARK_APPPROBE"), QStringList());
    QVERIFY(probe.waitForStarted(10000));
    QTRY_COMPARE_WITH_TIMEOUT(internetSetting("DefaultConnection/Flags").toInt(), 3, 20000);
    ::kill(pid_t(probe.processId()), signal);
    QVERIFY(probe.waitForFinished(20000));
    if (output)
        *output = probe.readAllStandardOutput();
    if (signal != SIGKILL)
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
}

void startAndQuit()
{
    CMainWindow window;
}

} // namespace

Q_DECLARE_METATYPE(ProxyOptions)

class tst_UserProxy : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void signalsEndInOrder_data();
    void signalsEndInOrder();
    void secondSignalEndsAtOnce();
    void afterKills_data();
    void afterKills();
    void startFindsGreenlarksOwn_data();
    void startFindsGreenlarksOwn();
    void failedRestoreKeepsTheJournal();
    void sessionEndGivesBackOnce();

private:
};

void tst_UserProxy::init()
{
    QFile::remove(internetSettingsPath());
    QFile::remove(proxySettingsPath());
    const QString journal = proxyjournal::path();
    QFile::remove(journal);
    QDir(journal).removeRecursively();
    QDir(internetSettingsPath() + QLatin1String(".lock")).removeRecursively();
}

void tst_UserProxy::signalsEndInOrder_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void tst_UserProxy::signalsEndInOrder()
{
    QFETCH(int, signal);
    seedOptions(kUserA);

    QByteArray output;
    runAndEnd(signal, &output);
    QVERIFY(storedOptions() == kUserA);
    QCOMPARE(output, QByteArray("ended v2ray.exe\nended background.exe\nended greenlark.exe\n"));
    // One apply at start, one restore: both told.
    QCOMPARE(notifications(), 2);
    QVERIFY(!QFileInfo::exists(proxyjournal::path()));
}

void tst_UserProxy::secondSignalEndsAtOnce()
{
    seedOptions(kUserA);
    QProcess probe;
    probe.start(qEnvironmentVariable("GREENLARK_APPPROBE"), QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(internetSetting("DefaultConnection/Flags").toInt(), 3, 20000);
    // The store's lock is held (once the probe's last write has let it go): the
    // orderly exit waits for it.
    QTRY_VERIFY(QDir().mkpath(internetSettingsPath() + QLatin1String(".lock")));
    ::kill(pid_t(probe.processId()), SIGTERM);
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += probe.readAllStandardError()).contains("Signal 15"), 20000);
    // The way out when the exit hangs; the journal gives the options back later.
    ::kill(pid_t(probe.processId()), SIGTERM);
    QVERIFY(probe.waitForFinished(20000));
    QCOMPARE(probe.exitStatus(), QProcess::CrashExit);
    QVERIFY(QFileInfo::exists(proxyjournal::path()));
}

void tst_UserProxy::afterKills_data()
{
    QTest::addColumn<int>("kills");
    QTest::addColumn<bool>("userChangesWhileDown");

    QTest::newRow("two kills in a row") << 2 << false;
    QTest::newRow("user changes while down") << 1 << true;
}

void tst_UserProxy::afterKills()
{
    QFETCH(int, kills);
    QFETCH(bool, userChangesWhileDown);
    seedOptions(kUserA);

    for (int i = 0; i < kills && !QTest::currentTestFailed(); ++i)
        runAndEnd(SIGKILL);
    if (userChangesWhileDown)
        seedOptions(kUserB);
    startAndQuit();
    QVERIFY(storedOptions() == (userChangesWhileDown ? kUserB : kUserA));
    QVERIFY(!QFileInfo::exists(proxyjournal::path()));
}

void tst_UserProxy::startFindsGreenlarksOwn_data()
{
    QTest::addColumn<ProxyOptions>("found");
    QTest::addColumn<QByteArray>("journal"); // "<folder>", "<link>" or contents
    QTest::addColumn<QString>("said");       // the reason in the debug line
    QTest::addColumn<ProxyOptions>("givenBack");

    QTemporaryDir dir;
    QString why;
    proxyjournal::write(dir.filePath("j"), kUserA, &why);
    const QByteArray good = fileBytes(dir.filePath("j"));
    const ProxyOptions desktopForm{3, "127.0.0.1:1081", platform::desktopBypassList(kOwnBypass),
                                   QString(), 13};
    const ProxyOptions ownPac{5, "", "", "http://127.0.0.1:2081/pac/?t=20261207013943", 1};
    const ProxyOptions localProxy{3, "127.0.0.1:1081", "<local>", QString(), 13};
    const ProxyOptions localPacFile{5, "", "", "http://127.0.0.1:2081/proxy.pac", 1};

    QTest::newRow("global") << kOwnGlobal << good << "come from" << kUserA;
    QTest::newRow("global as a desktop keeps it") << desktopForm << good << "come from" << kUserA;
    QTest::newRow("PAC") << ownPac << good << "come from" << kUserA;
    QTest::newRow("a local proxy of the user's") << localProxy << good << "" << localProxy;
    QTest::newRow("a local PAC file of the user's") << localPacFile << good << "" << localPacFile;
    const auto bad = [&](const char *name, const QByteArray &journal, const char *said) {
        QTest::newRow(name) << kOwnGlobal << journal << said << kDirect;
    };
    bad("no journal", QByteArray(), "missing");
    bad("truncated", good.left(good.size() / 2), "damaged");
    bad("wrong version", QByteArray(good).replace("\"version\": 1", "\"version\": 2"),
        "version 2, not 1");
    bad("folder in its place", "<folder>", "folder");
    bad("link out of the data location", "<link>", "symbolic link");
}

void tst_UserProxy::startFindsGreenlarksOwn()
{
    QFETCH(ProxyOptions, found);
    QFETCH(QByteArray, journal);
    QFETCH(QString, said);
    QFETCH(ProxyOptions, givenBack);

    const QString path = proxyjournal::path();
    QTemporaryDir outside;
    const QString target = outside.filePath("elsewhere.json");
    if (journal == "<folder>") {
        QVERIFY(QDir().mkpath(path));
    } else if (journal == "<link>") {
        QString why;
        QVERIFY(proxyjournal::write(target, kUserA, &why));
        QVERIFY(QFile::link(target, path));
    } else if (!journal.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(journal);
    }
    seedOptions(found);
    if (!said.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(said));
    {
        CMainWindow window;
        // Written in place of a link, never through it, and for the user alone.
        QVERIFY(!QFileInfo(path).isSymLink());
        if (journal != "<folder>" && said != QLatin1String("come from"))
            QCOMPARE(QFileInfo(path).permissions() & 0x0077, QFileDevice::Permissions());
    }
    QString why;
    if (journal == "<link>")
        QVERIFY(proxyjournal::read(target, &why) == kUserA);
    QVERIFY(storedOptions() == givenBack);
}

void tst_UserProxy::failedRestoreKeepsTheJournal()
{
    seedOptions(kUserA);
    const QString journal = proxyjournal::path();
    {
        CMainWindow window;
        QVERIFY(QFileInfo::exists(journal));
        // The store's lock cannot be taken: the write fails, the read does not.
        QVERIFY(QDir().mkpath(internetSettingsPath() + QLatin1String(".lock")));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot be written back"));
    }
    QVERIFY(QFileInfo::exists(journal));
    QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 3);

    // The next start finishes the job.
    QVERIFY(QDir(internetSettingsPath() + QLatin1String(".lock")).removeRecursively());
    startAndQuit();
    QVERIFY(storedOptions() == kUserA);
    QVERIFY(!QFileInfo::exists(journal));
}

void tst_UserProxy::sessionEndGivesBackOnce()
{
    seedOptions(kUserA);
    {
        CMainWindow window;
        // A logoff; no session manager runs here, and the window never looks at it.
        QMetaMethod::fromSignal(&QGuiApplication::commitDataRequest)
            .invoke(qApp, Qt::DirectConnection, QGenericArgument("QSessionManager&", nullptr));
        QVERIFY(storedOptions() == kUserA);
        // The logoff was cancelled and the user chose other options: the exit keeps them.
        seedOptions(kUserB);
    }
    QVERIFY(storedOptions() == kUserB);
}

QTEST_MAIN(tst_UserProxy)
#include "tst_userproxy.moc"
