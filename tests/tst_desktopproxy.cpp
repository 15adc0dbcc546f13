// The Linux desktops' own proxy settings behind the WinINet calls: which store a
// process takes, the WinINet view of desktop states and back, what the desktops'
// own tools read after greenlark wrote, the failures, KDE's notifications, and a
// whole run of the main window on each desktop.

#include <QtGlobal>
// Before any Qt header: GIO names struct members "signals".
#include <gio/gio.h>

#include "mainwindow/cmainwindow.h"
#include "platform/desktopproxy.h"
#include "testsupport.h"

#include <QDBusConnection>
#include <QDir>
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

const QString kBypass = QStringLiteral(
    "<local>;localhost;127.*;10.*;172.16.*;172.17.*;172.18.*;172.19.*;172.20.*;172.21.*;"
    "172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;172.29.*;172.30.*;"
    "172.31.*;192.168.*");

// A private session bus from before the application object exists, so nothing
// KDE's backend announces ever reaches the user's own desktop.
class PrivateSessionBus
{
public:
    PrivateSessionBus()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"),
                       {"--session", "--nofork", "--print-address", "--nopidfile"});
        if (!m_daemon.waitForReadyRead(10000))
            qFatal("no private session bus: %s", qPrintable(m_daemon.errorString()));
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_daemon.readLine().trimmed());
    }
    ~PrivateSessionBus()
    {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

private:
    QProcess m_daemon;
};

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

QString kdeKey(const QString &key)
{
    return run("kreadconfig5", {"--file", "kioslaverc", "--group", "Proxy Settings", "--key", key});
}

// "http/port=3128": a key of org.gnome.system.proxy or of a child schema, and a
// value in GVariant text, set through GIO the way a settings page would.
void setGnome(const QStringList &assignments)
{
    for (const QString &assignment : assignments) {
        const QString path = assignment.section('=', 0, 0);
        const QString child = path.section('/', 0, -2);
        const QByteArray schema =
            "org.gnome.system.proxy" + (child.isEmpty() ? "" : "." + child.toUtf8());
        GSettings *settings = g_settings_new(schema.constData());
        GVariant *value = g_variant_parse(nullptr, assignment.section('=', 1).toUtf8().constData(),
                                          nullptr, nullptr, nullptr);
        const bool set = value && g_settings_set_value(
                                      settings, path.section('/', -1).toUtf8().constData(), value);
        if (value)
            g_variant_unref(value);
        QVERIFY2(set, qPrintable(assignment));
        g_object_unref(settings);
    }
    g_settings_sync();
}

void resetGnome()
{
    for (const char *id :
         {"org.gnome.system.proxy", "org.gnome.system.proxy.http", "org.gnome.system.proxy.https",
          "org.gnome.system.proxy.ftp", "org.gnome.system.proxy.socks"}) {
        GSettings *settings = g_settings_new(id);
        GSettingsSchema *schema = nullptr;
        g_object_get(settings, "settings-schema", &schema, nullptr);
        gchar **keys = g_settings_schema_list_keys(schema);
        for (gchar **key = keys; *key; ++key)
            g_settings_reset(settings, *key);
        g_strfreev(keys);
        g_settings_schema_unref(schema);
        g_object_unref(settings);
    }
    g_settings_sync();
}

QString kioslavercPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/kioslaverc";
}

// GNOME's keys the user set, not left at their defaults: "[group]key=value" lines of
// the keyfile, in any order.
QStringList gnomeKeys()
{
    QFile file(qEnvironmentVariable("XDG_CONFIG_HOME") + "/glib-2.0/settings/keyfile");
    QStringList keys;
    QString group;
    for (const QByteArray &line :
         file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>()) {
        if (line.startsWith('['))
            group = QString::fromUtf8(line);
        else if (!line.isEmpty())
            keys << group + QString::fromUtf8(line);
    }
    keys.sort();
    return keys;
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(contents);
}

InternetOptions options(DWORD flags, const QString &server, const QString &url = QString())
{
    InternetOptions o;
    o.flags = flags;
    o.proxyServer = server;
    o.proxyBypass = kBypass;
    o.autoConfigUrl = url;
    return o;
}

// Which mode each desktop is in, as its own tools read it.
QString desktopModes()
{
    return "gnome " + run("gsettings", {"get", "org.gnome.system.proxy", "mode"}) + ", kde " +
           kdeKey("ProxyType");
}

QString describe(const InternetOptions &o)
{
    return QStringLiteral("flags %1 server \"%2\" bypass \"%3\" url \"%4\"")
        .arg(o.flags)
        .arg(o.proxyServer, o.proxyBypass, o.autoConfigUrl);
}

// The view of a state, and the two properties every state must keep: setting the
// view it gives changes nothing, and setting it over another state (after
// greenlark's own options, after a crash) gives the same view back, bar the
// bypass entries the desktop cannot read.
template <typename State>
void checkMapping(const State &state, const State &other, const QString &expectedView,
                  bool (*toView)(const State &, InternetOptions *),
                  bool (*fromView)(const InternetOptions &, State *))
{
    InternetOptions view;
    QVERIFY(toView(state, &view));
    QCOMPARE(describe(view), expectedView);

    State same = state;
    QVERIFY(fromView(view, &same));
    QVERIFY2(same == state, "writing back the view it gave changed the state");

    State elsewhere = other;
    QVERIFY(fromView(view, &elsewhere));
    InternetOptions back;
    QVERIFY(toView(elsewhere, &back));
    view.proxyBypass = desktopBypassList(view.proxyBypass);
    QCOMPARE(describe(back), describe(view));
}

using BackendMaker = std::function<std::unique_ptr<ProxyBackend>(const QString &folder)>;
// What a desktop shows of itself: GNOME's keys, or KDE's file.
using Snapshot = std::function<QString()>;

} // namespace

Q_DECLARE_METATYPE(ProxyEnvironment)
Q_DECLARE_METATYPE(ProxyBackendKind)
Q_DECLARE_METATYPE(GnomeProxyState)
Q_DECLARE_METATYPE(KdeProxyState)
Q_DECLARE_METATYPE(BackendMaker)

class tst_DesktopProxy : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void backendChoice_data();
    void backendChoice();
    void bypassList_data();
    void bypassList();
    void gnomeMapping_data();
    void gnomeMapping();
    void kdeMapping_data();
    void kdeMapping();
    void desktopToolsReadGreenlarksOptions();
    void runGivesTheDesktopBack_data();
    void runGivesTheDesktopBack();
    void failuresChangeNothing_data();
    void failuresChangeNothing();
    void kdeTellsRunningPrograms_data();
    void kdeTellsRunningPrograms();

private:
    std::optional<QTemporaryDir> m_dir;
};

void tst_DesktopProxy::init()
{
    QVERIFY2(qEnvironmentVariable("GSETTINGS_BACKEND") == "keyfile",
             "tests never touch the user's own desktop settings");
    m_dir.emplace();
    resetGnome();
    QDir(kioslavercPath()).removeRecursively();
    QFile::remove(kioslavercPath());
    QFile::remove(proxySettingsPath());
}

void tst_DesktopProxy::cleanup()
{
    setProxyBackend(nullptr);
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

void tst_DesktopProxy::bypassList_data()
{
    QTest::addColumn<QString>("wininet");
    QTest::addColumn<QString>("desktop");

    QTest::newRow("greenlark's own")
        << kBypass
        << "localhost;127.0.0.0/8;10.0.0.0/8;172.16.0.0/16;172.17.0.0/16;172.18.0.0/16;"
           "172.19.0.0/16;172.20.0.0/16;172.21.0.0/16;172.22.0.0/16;172.23.0.0/16;172.24.0.0/16;"
           "172.25.0.0/16;172.26.0.0/16;172.27.0.0/16;172.28.0.0/16;172.29.0.0/16;172.30.0.0/16;"
           "172.31.0.0/16;192.168.0.0/16";
    QTest::newRow("three octets, other entries verbatim")
        << "192.168.1.*;*.example.com; spaced ;;<LOCAL>;::1"
        << "192.168.1.0/24;*.example.com; spaced ;;::1";
    QTest::newRow("not an address prefix") << "256.*;1.2.3.4.*;10.*.*;*;10.0.0.0/8"
                                           << "256.*;1.2.3.4.*;10.*.*;*;10.0.0.0/8";
    QTest::newRow("only <local>") << "<local>"
                                  << "";
    QTest::newRow("null") << QString() << QString();
}

void tst_DesktopProxy::bypassList()
{
    QFETCH(QString, wininet);
    QFETCH(QString, desktop);

    QCOMPARE(desktopBypassList(wininet), desktop);
    QCOMPARE(desktopBypassList(desktop), desktop);
}

void tst_DesktopProxy::gnomeMapping_data()
{
    QTest::addColumn<GnomeProxyState>("state");
    QTest::addColumn<QString>("view");

    const QStringList defaultIgnore{"localhost", "127.0.0.0/8", "::1"};
    const ProxyHost proxy{"proxy.corp", 3128};
    auto state = [](QString mode, QString url, QStringList ignore, ProxyHosts hosts) {
        return GnomeProxyState{mode, url, ignore, hosts};
    };
    // A new user's desktop: http keeps the schema's port 8080 without a host.
    const ProxyHosts fresh{{{"", 8080}, {}, {}, {}}};
    QTest::newRow("none, as installed")
        << state("none", "", defaultIgnore, fresh)
        << "flags 1 server \"\" bypass \"localhost;127.0.0.0/8;::1\" url \"\"";
    QTest::newRow("manual, one proxy") << state("manual", "", {}, {{proxy, proxy, {"", 21}, {}}})
                                       << "flags 3 server \"proxy.corp:3128\" bypass \"\" url \"\"";
    QTest::newRow("manual per protocol, IPv6, no port")
        << state("manual", "http://old/pac", {"*.corp", ""},
                 {{{"10.0.0.1", 80}, {"::1", 8443}, {"[fe80::2]", 21}, {"socks.corp", 0}}})
        << "flags 3 server \"http=10.0.0.1:80;https=[::1]:8443;ftp=[fe80::2]:21;socks=socks.corp\" "
           "bypass \"*.corp;\" url \"http://old/pac\"";
    QTest::newRow("pac, a scheme typed into the host, odd ignore list")
        << state("auto", "http://wpad.corp/proxy.pac", {"a;b", " spaced ", "10.*"},
                 {{{"http://proxy", 8080}, {"http://proxy", 8080}, {}, {}}})
        << "flags 5 server \"http://proxy:8080\" bypass \"a;b; spaced ;10.*\" url "
           "\"http://wpad.corp/proxy.pac\"";
    QTest::newRow("auto without a URL is WPAD")
        << state("auto", "", defaultIgnore, fresh)
        << "flags 9 server \"\" bypass \"localhost;127.0.0.0/8;::1\" url \"\"";
}

void tst_DesktopProxy::gnomeMapping()
{
    QFETCH(GnomeProxyState, state);
    QFETCH(QString, view);

    GnomeProxyState greenlarks;
    QVERIFY(internetToGnome(options(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, "127.0.0.1:1081"),
                            &greenlarks));
    checkMapping(state, greenlarks, view, gnomeToInternet, internetToGnome);
}

void tst_DesktopProxy::kdeMapping_data()
{
    QTest::addColumn<KdeProxyState>("state");
    QTest::addColumn<QString>("view");

    auto state = [](QString type, QString script, std::array<QString, 4> proxies, QString none) {
        return KdeProxyState{type, script, proxies, none};
    };
    QTest::newRow("nothing configured")
        << KdeProxyState() << "flags 1 server \"\" bypass \"\" url \"\"";
    QTest::newRow("manual, as KDE writes it")
        << state("1", "", {"http://proxy 3128", "http://proxy 3128", "", ""}, "localhost,.corp")
        << "flags 3 server \"proxy:3128\" bypass \"localhost;.corp\" url \"\"";
    QTest::newRow("manual per protocol, other spellings, IPv6")
        << state("1", "", {"http://proxy:3128", "proxy:3128", "http://[::1] 21", "socks://s"},
                 "a, b,,")
        << "flags 3 server \"http=proxy:3128;https=proxy:3128;ftp=[::1]:21;socks=s\" bypass "
           "\"a; b;;\" url \"\"";
    QTest::newRow("pac, a manual proxy kept")
        << state("2", "http://wpad/p.pac", {"http://proxy 3128", "", "", ""}, "")
        << "flags 5 server \"http=proxy:3128\" bypass \"\" url \"http://wpad/p.pac\"";
    QTest::newRow("pac without a script")
        << state("2", "", {}, "") << "flags 13 server \"\" bypass \"\" url \"\"";
    QTest::newRow("wpad, a script kept")
        << state("3", "http://wpad/p.pac", {}, "")
        << "flags 9 server \"\" bypass \"\" url \"http://wpad/p.pac\"";
}

void tst_DesktopProxy::kdeMapping()
{
    QFETCH(KdeProxyState, state);
    QFETCH(QString, view);

    KdeProxyState greenlarks;
    QVERIFY(internetToKde(options(PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL, "127.0.0.1:1081",
                                  "http://127.0.0.1:1082/pac/?t=20240102030405"),
                          &greenlarks));
    checkMapping(state, greenlarks, view, kdeToInternet, internetToKde);
}

void tst_DesktopProxy::desktopToolsReadGreenlarksOptions()
{
    const auto backend = makeKdeAndGnomeProxyBackend();
    const QString ignore = desktopBypassList(kBypass);
    QVERIFY(backend->write(options(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, "127.0.0.1:1081")));
    QCOMPARE(run("gsettings", {"get", "org.gnome.system.proxy", "ignore-hosts"}),
             "['" + ignore.split(';').join("', '") + "']");
    for (const QString protocol : {"http", "https"}) {
        QCOMPARE(run("gsettings", {"get", "org.gnome.system.proxy." + protocol, "host"}),
                 "'127.0.0.1'");
        QCOMPARE(run("gsettings", {"get", "org.gnome.system.proxy." + protocol, "port"}), "1081");
        QCOMPARE(kdeKey(protocol + "Proxy"), "http://127.0.0.1 1081");
    }
    QCOMPARE(kdeKey("NoProxyFor"), QString(ignore).replace(';', ','));
    QCOMPARE(desktopModes(), "gnome 'manual', kde 1");

    const QString pacUrl = "http://127.0.0.1:1082/pac/?t=20240102030405";
    QVERIFY(backend->write(
        options(PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL, "127.0.0.1:1081", pacUrl)));
    QCOMPARE(run("gsettings", {"get", "org.gnome.system.proxy", "autoconfig-url"}),
             "'" + pacUrl + "'");
    QCOMPARE(kdeKey("Proxy Config Script"), pacUrl);
    QCOMPARE(desktopModes(), "gnome 'auto', kde 2");
    // What the main window compares its own options with after a crash.
    InternetOptions read;
    QVERIFY(backend->read(&read));
    QCOMPARE(read.proxyBypass, ignore);
}

void tst_DesktopProxy::runGivesTheDesktopBack_data()
{
    QTest::addColumn<BackendMaker>("backend");
    QTest::addColumn<QStringList>("gnome");
    QTest::addColumn<QByteArray>("kde");
    QTest::addColumn<QStringList>("running"); // the modes in global, then in PAC

    const BackendMaker gnome = [](const QString &) { return makeGnomeProxyBackend(); };
    const BackendMaker kde = [](const QString &) { return makeKdeProxyBackend(); };
    const QStringList gnomeRuns{"gnome 'manual', kde ", "gnome 'auto', kde "};
    const QStringList kdeRuns{"gnome 'none', kde 1", "gnome 'none', kde 2"};
    // KConfig's own layout, as KDE's settings page leaves it.
    const QByteArray kdeManual = "[Proxy Settings]\nNoProxyFor=localhost,127.0.0.1\n"
                                 "ProxyType=1\nhttpProxy=http://[::1] 3128\n"
                                 "httpsProxy=proxy.corp:443\nsocksProxy=socks://proxy.corp 1080\n";
    QTest::newRow("GNOME, untouched") << gnome << QStringList() << QByteArray() << gnomeRuns;
    QTest::newRow("GNOME, per protocol")
        << gnome << QStringList{"mode='manual'",        "http/host='::1'",
                                "http/port=3128",       "socks/host='socks.corp'",
                                "socks/port=0",         "ignore-hosts=['a;b', '10.*']",
                                "use-same-proxy=false", "http/use-authentication=true"}
        << QByteArray() << gnomeRuns;
    QTest::newRow("KDE, manual") << kde << QStringList() << kdeManual << kdeRuns;
    QTest::newRow("KDE, PAC") << kde << QStringList()
                              << QByteArray("[Proxy Settings]\nProxy Config Script=http://wpad/"
                                            "p.pac\nProxyType=2\n")
                              << kdeRuns;
    QTest::newRow("KDE and GNOME, each its own")
        << BackendMaker([](const QString &) { return makeKdeAndGnomeProxyBackend(); })
        << QStringList{"mode='auto'", "autoconfig-url='http://elsewhere/p.pac'"} << kdeManual
        << QStringList{"gnome 'manual', kde 1", "gnome 'auto', kde 2"};
}

void tst_DesktopProxy::runGivesTheDesktopBack()
{
    QFETCH(BackendMaker, backend);
    QFETCH(QStringList, gnome);
    QFETCH(QByteArray, kde);
    QFETCH(QStringList, running);

    setGnome(gnome);
    if (!kde.isEmpty())
        writeFile(kioslavercPath(), kde);
    const QStringList gnomeBefore = gnomeKeys();
    const QByteArray kdeBefore = fileBytes(kioslavercPath());
    setProxyBackend(backend(QString()));

    ProcessEndRecorder recorder;
    {
        CMainWindow window; // starts in global mode
        QCOMPARE(desktopModes(), running.at(0));
        child<QRadioButton>(window, "m_rbPac")->click();
        child<QPushButton>(window, "m_btnSetting_ok")->click();
        QCOMPARE(desktopModes(), running.at(1));
    }
    QCOMPARE(gnomeKeys(), gnomeBefore);
    QCOMPARE(fileBytes(kioslavercPath()), kdeBefore);
}

void tst_DesktopProxy::failuresChangeNothing_data()
{
    QTest::addColumn<BackendMaker>("backend"); // given a private folder
    QTest::addColumn<QByteArray>("kioslaverc");
    QTest::addColumn<QString>("server"); // what the write tries to set
    QTest::addColumn<bool>("readable");

    const BackendMaker gnome = [](const QString &) { return makeGnomeProxyBackend(); };
    const BackendMaker kde = [](const QString &) { return makeKdeProxyBackend(); };
    QTest::newRow("GNOME: schema missing")
        << BackendMaker([](const QString &folder) { return makeGnomeProxyBackend(folder); })
        << QByteArray() << "127.0.0.1:1081" << false;
    QTest::newRow("GNOME: unparsable port") << gnome << QByteArray() << "127.0.0.1:80a" << true;
    QTest::newRow("KDE: an unknown protocol") << kde << QByteArray() << "gopher=h:70" << true;
    QTest::newRow("KDE: environment variables")
        << kde << QByteArray("[Proxy Settings]\nProxyType=4\nhttpProxy=HTTP_PROXY\n")
        << "127.0.0.1:1081" << false;
    QTest::newRow("KDE: kioslaverc is a folder") << kde << QByteArray("<folder>") << "h:1" << false;
    QTest::newRow("KDE: kioslaverc cannot be written") << BackendMaker([](const QString &folder) {
        writeFile(folder + "/file", "not a folder");
        return makeKdeProxyBackend(folder + "/file/kioslaverc");
    }) << QByteArray() << "127.0.0.1:1081" << true;
}

void tst_DesktopProxy::failuresChangeNothing()
{
    QFETCH(BackendMaker, backend);
    QFETCH(QByteArray, kioslaverc);
    QFETCH(QString, server);
    QFETCH(bool, readable);

    setGnome({"mode='manual'", "http/host='mine'"});
    if (kioslaverc == "<folder>")
        QVERIFY(QDir().mkpath(kioslavercPath()));
    else if (!kioslaverc.isEmpty())
        writeFile(kioslavercPath(), kioslaverc);
    const QStringList gnomeBefore = gnomeKeys();
    const QByteArray kdeBefore = fileBytes(kioslavercPath());
    const auto tried = backend(m_dir->path());

    InternetOptions read;
    QCOMPARE(tried->read(&read), readable);
    QVERIFY(!tried->write(options(PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, server)));
    QCOMPARE(gnomeKeys(), gnomeBefore);
    QCOMPARE(fileBytes(kioslavercPath()), kdeBefore);
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
    if (!kded.isEmpty())
        QVERIFY(bus.registerService(kded));
    setProxyBackend(makeKdeProxyBackend());

    QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0), TRUE);
    QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0), TRUE);
    QTRY_COMPARE(fake.reparsed, QStringList({"", ""}));
    QTRY_COMPARE(fake.resets, kded.isEmpty() ? 0 : 2);

    if (!kded.isEmpty())
        bus.unregisterService(kded);
    QDBusConnection::disconnectFromBus("kded");
}

int main(int argc, char **argv)
{
    PrivateSessionBus bus;
    QApplication app(argc, argv);
    tst_DesktopProxy test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktopproxy.moc"
