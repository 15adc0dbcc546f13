// The user's own proxy options survive every way greenlark can end: signals,
// kills in a row, a user who changes them while greenlark is down, a journal
// that is damaged, a restore that cannot be written.
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

const QString kOwnBypass = QStringLiteral(
    "<local>;localhost;127.*;10.*;172.16.*;172.17.*;172.18.*;172.19.*;172.20.*;172.21.*;"
    "172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;172.29.*;172.30.*;"
    "172.31.*;192.168.*");

// An empty bypass list and no PAC address: an absent string must not come back
// as an empty one, nor the other way round.
ProxyOptions userA()
{
    ProxyOptions options;
    options.flags = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY | PROXY_TYPE_AUTO_DETECT;
    options.proxyServer = QStringLiteral("corp-proxy:3128");
    options.proxyBypass = QStringLiteral("");
    options.autoDiscoveryFlags = 13;
    return options;
}

ProxyOptions userB()
{
    ProxyOptions options;
    options.flags = PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL;
    options.autoConfigUrl = QStringLiteral("http://wpad/wpad.dat");
    options.autoDiscoveryFlags = 1;
    return options;
}

// What a run that was killed leaves in the store.
ProxyOptions greenlarksGlobal()
{
    ProxyOptions options;
    options.flags = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
    options.proxyServer = QStringLiteral("127.0.0.1:1081");
    options.proxyBypass = kOwnBypass;
    options.autoDiscoveryFlags = 13;
    return options;
}

ProxyOptions direct(DWORD discovery)
{
    ProxyOptions options;
    options.autoDiscoveryFlags = discovery;
    return options;
}

void seed(const ProxyOptions &options)
{
    QSettings store(internetSettingsPath(), QSettings::IniFormat);
    store.setValue("DefaultConnection/Flags", uint(options.flags));
    const auto text = [&store](const char *key, const QString &value) {
        if (value.isNull())
            store.remove(key);
        else
            store.setValue(key, value);
    };
    text("DefaultConnection/ProxyServer", options.proxyServer);
    text("DefaultConnection/ProxyBypass", options.proxyBypass);
    text("DefaultConnection/AutoConfigUrl", options.autoConfigUrl);
    store.setValue("DefaultConnection/AutoDiscoveryFlags", uint(options.autoDiscoveryFlags));
}

ProxyOptions stored()
{
    const auto text = [](const char *key) {
        const QVariant value = internetSetting(QLatin1String(key));
        return value.isValid() ? value.toString() + QLatin1String("") : QString();
    };
    ProxyOptions options;
    options.flags = internetSetting("DefaultConnection/Flags").toUInt();
    options.proxyServer = text("DefaultConnection/ProxyServer");
    options.proxyBypass = text("DefaultConnection/ProxyBypass");
    options.autoConfigUrl = text("DefaultConnection/AutoConfigUrl");
    options.autoDiscoveryFlags = internetSetting("DefaultConnection/AutoDiscoveryFlags").toUInt();
    return options;
}

QString describe(const ProxyOptions &o)
{
    const auto text = [](const QString &s) {
        return s.isNull() ? QStringLiteral("(none)") : QLatin1Char('"') + s + QLatin1Char('"');
    };
    return QStringLiteral("flags=%1 server=%2 bypass=%3 url=%4 discovery=%5")
        .arg(o.flags)
        .arg(text(o.proxyServer), text(o.proxyBypass), text(o.autoConfigUrl))
        .arg(o.autoDiscoveryFlags);
}

#define COMPARE_OPTIONS(actual, expected)                                                          \
    QVERIFY2((actual) == (expected),                                                               \
             qPrintable(describe(actual) + QLatin1String("\n   expected ") + describe(expected)))

int notifications()
{
    return internetSetting("Notifications/SettingsChanged").toInt();
}

// A greenlark that has set its proxy; ended with `signal`, as a crash, a kill or
// a logout ends it.
void runAndEnd(int signal, QByteArray *output = nullptr)
{
    QProcess probe;
    probe.start(qEnvironmentVariable("GREENLARK_APPPROBE"), QStringList());
    QVERIFY(probe.waitForStarted(10000));
    QTRY_COMPARE_WITH_TIMEOUT(stored().flags, DWORD(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY), 20000);
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
    void afterKills_data();
    void afterKills();
    void ownOptionsAreNeverTheUsers_data();
    void ownOptionsAreNeverTheUsers();
    void badJournal_data();
    void badJournal();
    void failedRestoreKeepsTheJournal();

private:
    ProcessEndRecorder m_recorder;
};

void tst_UserProxy::init()
{
    QFile::remove(internetSettingsPath());
    QFile::remove(proxySettingsPath());
    const QString journal = proxyjournal::path();
    QFile(journal).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
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
    seed(userA());

    QByteArray output;
    runAndEnd(signal, &output);
    COMPARE_OPTIONS(stored(), userA());
    QCOMPARE(output, QByteArray("ended v2ray.exe\nended background.exe\nended greenlark.exe\n"));
    // One apply at start, one restore: both told.
    QCOMPARE(notifications(), 2);
    QVERIFY(!QFileInfo::exists(proxyjournal::path()));
}

void tst_UserProxy::afterKills_data()
{
    QTest::addColumn<int>("kills");
    QTest::addColumn<bool>("userChangesWhileDown");

    QTest::newRow("one kill") << 1 << false;
    QTest::newRow("two kills in a row") << 2 << false;
    QTest::newRow("user changes while down") << 1 << true;
    QTest::newRow("clean run") << 0 << false;
}

void tst_UserProxy::afterKills()
{
    QFETCH(int, kills);
    QFETCH(bool, userChangesWhileDown);
    seed(userA());

    for (int i = 0; i < kills; ++i) {
        runAndEnd(SIGKILL);
        if (QTest::currentTestFailed())
            return;
    }
    if (userChangesWhileDown)
        seed(userB());
    startAndQuit();
    COMPARE_OPTIONS(stored(), userChangesWhileDown ? userB() : userA());
    QVERIFY(!QFileInfo::exists(proxyjournal::path()));

    // Nothing left over speaks for the user at the next start: with greenlark's
    // own options found and no journal, that start can only fall back to a
    // direct connection.
    seed(greenlarksGlobal());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("taken as a direct connection"));
    startAndQuit();
    COMPARE_OPTIONS(stored(), direct(13));
}

void tst_UserProxy::ownOptionsAreNeverTheUsers_data()
{
    QTest::addColumn<ProxyOptions>("found");
    QTest::addColumn<bool>("own");

    QTest::newRow("global") << greenlarksGlobal() << true;
    ProxyOptions desktopForm = greenlarksGlobal();
    desktopForm.proxyBypass = platform::desktopBypassList(kOwnBypass);
    QTest::newRow("global as a desktop keeps it") << desktopForm << true;
    ProxyOptions pac = userB();
    pac.autoConfigUrl = QStringLiteral("http://127.0.0.1:2081/pac/?t=20261207013943");
    QTest::newRow("PAC") << pac << true;
    ProxyOptions localProxy = greenlarksGlobal();
    localProxy.proxyBypass = QStringLiteral("<local>");
    QTest::newRow("a local proxy of the user's") << localProxy << false;
    ProxyOptions otherPac = pac;
    otherPac.autoConfigUrl = QStringLiteral("http://127.0.0.1:2081/proxy.pac");
    QTest::newRow("a local PAC file of the user's") << otherPac << false;
}

void tst_UserProxy::ownOptionsAreNeverTheUsers()
{
    QFETCH(ProxyOptions, found);
    QFETCH(bool, own);

    QString why;
    QVERIFY(proxyjournal::write(proxyjournal::path(), userA(), &why));
    seed(found);
    if (own)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("come from"));
    startAndQuit();
    COMPARE_OPTIONS(stored(), own ? userA() : found);
}

void tst_UserProxy::badJournal_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("kind"); // "file", "folder", "unreadable", "link"
    QTest::addColumn<QString>("reason");

    QByteArray good;
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("journal");
        QString why;
        proxyjournal::write(path, userA(), &why);
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        good = file.readAll();
    }
    QByteArray otherVersion = good;
    otherVersion.replace("\"version\": 1", "\"version\": 2");

    QTest::newRow("truncated") << good.left(good.size() / 2) << "file"
                               << "damaged";
    QTest::newRow("empty") << QByteArray() << "file"
                           << "empty";
    QTest::newRow("garbage") << QByteArray("\x01\xff\xfe garbage") << "file"
                             << "damaged";
    QTest::newRow("wrong version") << otherVersion << "file"
                                   << "version 2, not 1";
    QTest::newRow("wrong type") << QByteArray(good).replace("\"flags\": 11", "\"flags\": \"11\"")
                                << "file"
                                << "wrong type";
    QTest::newRow("folder in its place") << QByteArray() << "folder"
                                         << "folder";
    QTest::newRow("unreadable") << good << "unreadable"
                                << "cannot be read";
    QTest::newRow("link out of the data location") << good << "link"
                                                   << "symbolic link";
}

void tst_UserProxy::badJournal()
{
    QFETCH(QByteArray, contents);
    QFETCH(QString, kind);
    QFETCH(QString, reason);

    const QString journal = proxyjournal::path();
    QTemporaryDir outside;
    const QString target = outside.filePath("elsewhere.json");
    if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(journal));
    } else {
        QFile file(kind == QLatin1String("link") ? target : journal);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    if (kind == QLatin1String("unreadable")) {
        if (geteuid() == 0)
            QSKIP("root reads any file");
        QVERIFY(QFile(journal).setPermissions(QFileDevice::WriteOwner));
    }
    if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(target, journal));

    seed(greenlarksGlobal());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QRegularExpression::escape(journal) + ".*" +
                                                        reason + ".*taken as a direct connection"));
    {
        CMainWindow window;
        if (kind == QLatin1String("link")) {
            // Written in place of the link, never through it.
            QVERIFY(!QFileInfo(journal).isSymLink());
            QCOMPARE(QFileInfo(journal).permissions() & 0x0077, QFileDevice::Permissions());
            QFile file(target);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), contents);
        }
    }
    COMPARE_OPTIONS(stored(), direct(13));
}

void tst_UserProxy::failedRestoreKeepsTheJournal()
{
    seed(userA());
    const QString journal = proxyjournal::path();
    {
        CMainWindow window;
        QVERIFY(QFileInfo::exists(journal));
        // The store's lock cannot be taken: the write fails, the read does not.
        QVERIFY(QDir().mkpath(internetSettingsPath() + QLatin1String(".lock")));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot be written back"));
    }
    QVERIFY(QFileInfo::exists(journal));
    QCOMPARE(stored().flags, DWORD(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY));

    // The next start finishes the job.
    QVERIFY(QDir(internetSettingsPath() + QLatin1String(".lock")).removeRecursively());
    startAndQuit();
    COMPARE_OPTIONS(stored(), userA());
    QVERIFY(!QFileInfo::exists(journal));
}

QTEST_MAIN(tst_UserProxy)
#include "tst_userproxy.moc"
