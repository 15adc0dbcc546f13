// The Linux desktops' own proxy settings behind the WinINet calls: which store
// a process takes, the WinINet view of desktop states and back, what the
// desktops' own tools read after greenlark wrote, the failures, KDE's
// notifications, and a whole run of the main window on each desktop.

#include <QtGlobal>
// Before any Qt header: GIO names struct members "signals".
#include <gio/gio.h>

#include "mainwindow/cmainwindow.h"
#include "platform/desktopproxy.h"
#include "testsupport.h"

#include <QDBusConnection>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using namespace platform;

namespace {

// Like greenlark's own list, with entries the desktops must take verbatim.
const QString kBypass = "<local>;localhost;127.*;10.*;172.16.*;192.168.1.*;256.*;10.*.*;*.corp";
// What the desktops get of it (KDE's separator).
const QString kDesktopBypass = "localhost,127.0.0.0/8,10.0.0.0/8,172.16.0.0/"
                               "16,192.168.1.0/24,256.*,10.*.*,*.corp";

// kded on the private bus: records the scout's resets and KIO's reparse signal.
class FakeKded : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.KPAC.ProxyScout")

public:
    int resets = 0;
    QStringList reparsed;

public slots:
    Q_SCRIPTABLE void reset() { ++resets; }
    void reparse(const QString &argument) { reparsed << argument; }
};

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitCode() != 0)
        return QStringLiteral("<%1 failed: %2>").arg(program, process.readAllStandardError());
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString gnomeKey(const QString &schema, const QString &key)
{
    return run("gsettings", {"get", "org.gnome.system.proxy" + schema, key});
}

QString kdeKey(const QString &key)
{
    return run("kreadconfig5", {"--file", "kioslaverc", "--group", "Proxy Settings", "--key", key});
}

// Which mode each desktop is in, as its own tools read it.
QString desktopModes()
{
    return "gnome " + gnomeKey("", "mode") + ", kde " + kdeKey("ProxyType");
}

const QString kKioslaverc =
    QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/kioslaverc";
const QString kGnomeKeyfile =
    qEnvironmentVariable("XDG_CONFIG_HOME") + "/glib-2.0/settings/keyfile";

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size());
}

// GNOME's keys the user set, not left at their defaults, as "/http/port=3128"
// (the lines of the keyfile, in any order).
QStringList gnomeKeys()
{
    QStringList keys;
    QString group; // "[system/proxy/http]" is "/http"
    for (const QString &line : QString(fileBytes(kGnomeKeyfile)).split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith('['))
            group = line.mid(13).chopped(1);
        else
            keys << group + '/' + line;
    }
    keys.sort();
    return keys;
}

// Sets "/http/port=3128", a key of org.gnome.system.proxy or of a child schema
// and a value in GVariant text, through GIO the way a settings page would; a
// key alone goes back to its default.
void setGnome(const QStringList &assignments)
{
    for (const QString &assignment : assignments) {
        const QString path = "org.gnome.system.proxy" + assignment.section('=', 0, 0);
        g_autoptr(GSettings) settings =
            g_settings_new(qPrintable(path.section('/', 0, -2).replace('/', '.')));
        const QByteArray key = path.section('/', -1).toUtf8();
        g_autoptr(GVariant) value = g_variant_parse(nullptr, qPrintable(assignment.section('=', 1)),
                                                    nullptr, nullptr, nullptr);
        if (!assignment.contains('='))
            g_settings_reset(settings, key);
        else if (!value || !g_settings_set_value(settings, key, value))
            QFAIL(qPrintable(assignment));
    }
    g_settings_sync();
}

// What greenlark must give back exactly: GNOME's keys, and KDE's file byte for
// byte.
QStringList desktopState()
{
    return gnomeKeys() << fileBytes(kKioslaverc);
}

const InternetOptions kGlobal{PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, "127.0.0.1:1081", kBypass, {}};
const InternetOptions kPac{PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL, "127.0.0.1:1081", kBypass,
                           "http://127.0.0.1:1082/pac/?t=20240102030405"};

// "flags | server | bypass | url"
QString describe(const InternetOptions &o)
{
    return QStringList{QString::number(o.flags), o.proxyServer, o.proxyBypass, o.autoConfigUrl}
        .join(" | ");
}

// Given a private folder.
using BackendMaker = std::function<std::unique_ptr<ProxyBackend>(const QString &folder)>;
const BackendMaker kGnome = [](const QString &) { return makeGnomeProxyBackend(); };
const BackendMaker kKde = [](const QString &) { return makeKdeProxyBackend(); };

// KConfig's own layout, with each way of spelling a proxy KDE reads.
const QByteArray kKdeManual = "[Proxy Settings]\nNoProxyFor=a, b,,\nProxyType=1\n"
                              "ftpProxy=http://[::1] 21\nhttpProxy=http://proxy:3128\n"
                              "httpsProxy=proxy:3128\nsocksProxy=socks://proxy.corp 1080\n";

} // namespace

Q_DECLARE_METATYPE(ProxyEnvironment)
Q_DECLARE_METATYPE(ProxyBackendKind)
Q_DECLARE_METATYPE(BackendMaker)

class tst_DesktopProxy : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { setProxyBackend(nullptr); }

    void backendChoice_data();
    void backendChoice();
    void desktopToolsReadGreenlarksOptions();
    void desktopStates_data();
    void desktopStates();
    void failuresChangeNothing_data();
    void failuresChangeNothing();
    void kdeTellsRunningPrograms_data();
    void kdeTellsRunningPrograms();
};

void tst_DesktopProxy::init()
{
    QVERIFY2(qEnvironmentVariable("GSETTINGS_BACKEND") == "keyfile",
             "tests never touch the user's own desktop settings");
    setGnome(gnomeKeys().replaceInStrings(QRegularExpression("=.*"), ""));
    QDir(kKioslaverc).removeRecursively();
    QFile::remove(kKioslaverc);
    QFile::remove(proxySettingsPath());
}

void tst_DesktopProxy::backendChoice_data()
{
    QTest::addColumn<ProxyEnvironment>("environment");
    QTest::addColumn<ProxyBackendKind>("kind");
    QTest::addColumn<bool>("error");

    using Env = ProxyEnvironment;
    const auto file = ProxyBackendKind::File, gnome = ProxyBackendKind::Gnome,
               kde = ProxyBackendKind::Kde, both = ProxyBackendKind::KdeAndGnome;
    QTest::newRow("stand-in file wins") << Env{"/tmp/x.ini", "kde", "KDE", true} << file << false;
    QTest::newRow("backend gnome") << Env{"", "gnome", "KDE", false} << gnome << false;
    QTest::newRow("backend KDE, any case") << Env{"", "KDE", "GNOME", true} << kde << false;
    QTest::newRow("unknown backend") << Env{"", "dconf", "GNOME", true} << file << true;
    QTest::newRow("KDE also sets GNOME's") << Env{"", "", "KDE", true} << both << false;
    QTest::newRow("KDE anywhere in the list") << Env{"", "", "Budgie:KDE", true} << both << false;
    QTest::newRow("list, any case") << Env{"", "", "ubuntu:GNOME", false} << gnome << false;
    QTest::newRow("unknown, schema installed") << Env{"", "", "sway", true} << gnome << false;
    QTest::newRow("unknown, no schema") << Env{"", "", "sway", false} << file << false;
}

void tst_DesktopProxy::backendChoice()
{
    QFETCH(ProxyEnvironment, environment);
    QFETCH(ProxyBackendKind, kind);
    QFETCH(bool, error);

    QString message;
    QCOMPARE(chooseProxyBackend(environment, &message), kind);
    QCOMPARE(!message.isEmpty(), error);
}

void tst_DesktopProxy::desktopToolsReadGreenlarksOptions()
{
    const auto backend = makeKdeAndGnomeProxyBackend();
    QVERIFY(backend->write(kGlobal));
    QCOMPARE(desktopModes(), "gnome 'manual', kde 1");
    for (const QString protocol : {"http", "https"}) {
        QCOMPARE(gnomeKey("." + protocol, "host") + ":" + gnomeKey("." + protocol, "port"),
                 "'127.0.0.1':1081");
        QCOMPARE(kdeKey(protocol + "Proxy"), "http://127.0.0.1 1081");
    }
    QCOMPARE(kdeKey("NoProxyFor"), kDesktopBypass);
    QCOMPARE(gnomeKey("", "ignore-hosts"), "['" + kDesktopBypass.split(',').join("', '") + "']");

    QVERIFY(backend->write(kPac));
    QCOMPARE(desktopModes(), "gnome 'auto', kde 2");
    QCOMPARE(gnomeKey("", "autoconfig-url") + kdeKey("Proxy Config Script"),
             "'" + kPac.autoConfigUrl + "'" + kPac.autoConfigUrl);
    // What the main window compares its own options with after a crash.
    InternetOptions read;
    QVERIFY(backend->read(&read));
    QCOMPARE(describe(read), "5 | 127.0.0.1:1081 | " + QString(kDesktopBypass).replace(',', ';') +
                                 " | " + kPac.autoConfigUrl);
}

void tst_DesktopProxy::desktopStates_data()
{
    QTest::addColumn<BackendMaker>("backend");
    QTest::addColumn<QString>("gnome");     // GNOME's keys the user set
    QTest::addColumn<QByteArray>("kde");    // kioslaverc
    QTest::addColumn<QString>("view");      // what greenlark reads of them
    QTest::addColumn<QStringList>("modes"); // while greenlark runs in global, then in PAC

    const QStringList gnome{"gnome 'manual', kde ", "gnome 'auto', kde "};
    const QStringList kde{"gnome 'none', kde 1", "gnome 'none', kde 2"};
    QTest::newRow("GNOME manual per protocol, IPv6, no port, keys greenlark never touches")
        << kGnome
        << "/mode='manual' /autoconfig-url='http://old/pac' /ignore-hosts=['*.corp',''] "
           "/http/host='10.0.0.1' /http/port=80 /https/host='::1' /https/port=8443 "
           "/ftp/host='[fe80::2]' /ftp/port=21 /socks/host='socks.corp' /socks/port=0 "
           "/use-same-proxy=false "
           "/http/use-authentication=true"
        << QByteArray()
        << "3 | http=10.0.0.1:80;https=[::1]:8443;ftp=[fe80::2]:21;socks=socks.corp | *.corp; | "
           "http://old/pac"
        << gnome;
    QTest::newRow("GNOME pac, a scheme typed into the host, odd ignore list")
        << kGnome
        << "/mode='auto' /autoconfig-url='http://wpad/p.pac' "
           "/ignore-hosts=['a;b',' spaced ','10.*'] "
           "/http/host='http://proxy' /https/host='http://proxy' /https/port=8080 /socks/host='s' "
           "/socks/port=1080"
        << QByteArray()
        << "5 | http=http://proxy:8080;https=http://proxy:8080;socks=s:1080 | a;b; spaced ;10.* | "
           "http://wpad/p.pac"
        << gnome;
    QTest::newRow("GNOME auto without a URL is WPAD")
        << kGnome << "/mode='auto'" << QByteArray() << "9 |  | localhost;127.0.0.0/8;::1 | "
        << gnome;
    QTest::newRow("KDE manual, each spelling KDE reads")
        << kKde << "" << kKdeManual
        << "3 | http=proxy:3128;https=proxy:3128;ftp=[::1]:21;socks=proxy.corp:1080 | a; b;; | "
        << kde;
    QTest::newRow("KDE pac without a script")
        << kKde << "" << QByteArray("[Proxy Settings]\nProxyType=2\n") << "13 |  |  | " << kde;
    QTest::newRow("KDE wpad with a script kept, and GNOME each its own")
        << BackendMaker([](const QString &) { return makeKdeAndGnomeProxyBackend(); })
        << "/mode='auto' /autoconfig-url='http://elsewhere/p.pac'"
        << QByteArray("[Proxy Settings]\nProxy Config Script=http://wpad/p.pac\nProxyType=3\n"
                      "httpProxy=http://proxy 3128\n")
        << "9 | http=proxy:3128 |  | http://wpad/p.pac"
        << QStringList{"gnome 'manual', kde 1", "gnome 'auto', kde 2"};
}

void tst_DesktopProxy::desktopStates()
{
    QFETCH(BackendMaker, backend);
    QFETCH(QString, gnome);
    QFETCH(QByteArray, kde);
    QFETCH(QString, view);
    QFETCH(QStringList, modes);

    setGnome(gnome.split(QRegularExpression(" (?=/)"), Qt::SkipEmptyParts));
    if (!kde.isEmpty())
        writeFile(kKioslaverc, kde);
    const QStringList before = desktopState();
    InternetOptions user;
    QVERIFY(backend(QString())->read(&user));
    QCOMPARE(describe(user), view);

    // A start, a change of mode and a quit give the desktop back as it was.
    setProxyBackend(backend(QString()));
    {
        CMainWindow window; // starts in global mode
        QCOMPARE(desktopModes(), modes.at(0));
        child<QRadioButton>(window, "m_rbPac")->click();
        child<QPushButton>(window, "m_btnSetting_ok")->click();
        QCOMPARE(desktopModes(), modes.at(1));
    }
    QCOMPARE(desktopState(), before);

    // After a crash, a new start finds greenlark's own options and gives the
    // user's back: the same view, bar the bypass entries the desktop cannot read.
    user.proxyBypass = desktopBypassList(user.proxyBypass);
    for (const InternetOptions &greenlarks : {kGlobal, kPac}) {
        QVERIFY(backend(QString())->write(greenlarks));
        const auto restart = backend(QString());
        InternetOptions back;
        QVERIFY(restart->write(user) && restart->read(&back));
        QCOMPARE(describe(back), describe(user));
    }
}

void tst_DesktopProxy::failuresChangeNothing_data()
{
    QTest::addColumn<BackendMaker>("backend");
    QTest::addColumn<QByteArray>("kioslaverc"); // "<folder>": a folder in its place
    QTest::addColumn<bool>("readable");

    QTest::newRow("GNOME: schema missing")
        << BackendMaker([](const QString &folder) { return makeGnomeProxyBackend(folder); })
        << QByteArray() << false;
    QTest::newRow("KDE: port above 65535")
        << kKde << QByteArray("[Proxy Settings]\nProxyType=1\nhttpProxy=http://h 65536\n") << false;
    QTest::newRow("KDE: environment variables")
        << kKde << QByteArray("[Proxy Settings]\nProxyType=4\nhttpProxy=HTTP_PROXY\n") << false;
    QTest::newRow("KDE: kioslaverc is a folder") << kKde << QByteArray("<folder>") << false;
    QTest::newRow("KDE: kioslaverc cannot be written") << BackendMaker([](const QString &folder) {
        writeFile(folder + "/file", "not a folder");
        return makeKdeProxyBackend(folder + "/file/kioslaverc");
    }) << QByteArray() << true;
    QTest::newRow("KDE and GNOME: GNOME's schema missing")
        << BackendMaker(
               [](const QString &folder) { return makeKdeAndGnomeProxyBackend(QString(), folder); })
        << kKdeManual << true;
}

void tst_DesktopProxy::failuresChangeNothing()
{
    QFETCH(BackendMaker, backend);
    QFETCH(QByteArray, kioslaverc);
    QFETCH(bool, readable);

    setGnome({"/mode='manual'", "/http/host='mine'"});
    if (kioslaverc == "<folder>")
        QVERIFY(QDir().mkpath(kKioslaverc));
    else if (!kioslaverc.isEmpty())
        writeFile(kKioslaverc, kioslaverc);
    const QStringList before = desktopState();
    QTemporaryDir folder;
    const auto tried = backend(folder.path());

    InternetOptions read;
    QCOMPARE(tried->read(&read), readable);
    QVERIFY(!tried->write(kGlobal));
    QCOMPARE(desktopState(), before);
}

void tst_DesktopProxy::kdeTellsRunningPrograms_data()
{
    QTest::addColumn<QString>("kded"); // empty: none running
    QTest::newRow("Plasma 5") << "org.kde.kded5";
    QTest::newRow("Plasma 6") << "org.kde.kded6";
    QTest::newRow("no kded") << "";
}

void tst_DesktopProxy::kdeTellsRunningPrograms()
{
    QFETCH(QString, kded);

    // kded on a connection of its own, as a process of its own would be.
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "kded");
    FakeKded fake;
    QVERIFY(bus.connect(QString(), "/KIO/Scheduler", "org.kde.KIO.Scheduler",
                        "reparseSlaveConfiguration", &fake, SLOT(reparse(QString))));
    QVERIFY(
        bus.registerObject("/modules/proxyscout", &fake, QDBusConnection::ExportScriptableSlots));
    QVERIFY(kded.isEmpty() || bus.registerService(kded));
    setProxyBackend(makeKdeProxyBackend());

    QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0), TRUE);
    QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0), TRUE);
    QTRY_COMPARE(fake.reparsed, QStringList({"", ""}));
    QTRY_COMPARE(fake.resets, kded.isEmpty() ? 0 : 2);
    QVERIFY(kded.isEmpty() || bus.unregisterService(kded));
    QDBusConnection::disconnectFromBus("kded");
}

int main(int argc, char **argv)
{
    // A private session bus from before the application object exists, so nothing
    // KDE's backend announces ever reaches the user's own desktop.
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address", "--nopidfile"});
    if (!bus.waitForReadyRead(10000))
        qFatal("no private session bus: %s", qPrintable(bus.errorString()));
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
    QApplication app(argc, argv);
    tst_DesktopProxy test;
    const int failures = QTest::qExec(&test, argc, argv);
    bus.kill();
    bus.waitForFinished();
    return failures;
}

#include "tst_desktopproxy.moc"
