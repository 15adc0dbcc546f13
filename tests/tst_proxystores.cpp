// The stores of the system proxy options. The stand-in for WinINet's
// per-connection options, through the store greenlark keeps them with: what a
// caller gets back and what another program finds in the settings file. The
// Linux desktops' own proxy settings as stores: a desktop whose module is
// missing, the WinINet view of desktop states, what the desktops' own tools read
// after greenlark wrote, giving a state back exactly or refusing to touch it,
// and KDE's notifications.
#include "platform/desktopproxy.h"
#include "platform/plainini.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <optional>
#include <sys/resource.h>

using namespace platform;

namespace {

// Like greenlark's own list, with entries the desktops must take verbatim.
const QString kBypass =
    "<local>;localhost;127.*;10.*;172.16.*;192.168.1.*;256.*;10.*.*;010.*;*.corp";
// What the desktops get of it (KDE's separator).
const QString kDesktopBypass = "localhost,127.0.0.0/8,10.0.0.0/8,172.16.0.0/"
                               "16,192.168.1.0/24,256.*,10.*.*,010.*,*.corp";

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

// What greenlark must give back exactly: GNOME's keys, and KDE's file byte for
// byte.
QStringList desktopState()
{
    return gnomeKeys() << fileBytes(kioslavercPath());
}

// The desktops keep no discovery flags: they read as 0.
const ProxyOptions kGlobal{PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, "127.0.0.1:1081", kBypass, {}, 0};
const ProxyOptions kPac{PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL, "127.0.0.1:1081", kBypass,
                        "http://127.0.0.1:1082/pac/?t=20240102030405", 0};

// "flags | server | bypass | url"
QString describe(const ProxyOptions &o)
{
    return QStringList{QString::number(o.flags), o.proxyServer, o.proxyBypass, o.autoConfigUrl}
        .join(" | ");
}

// Given a private folder.
using StoreMaker = std::function<std::unique_ptr<ProxyStore>(const QString &folder)>;
const StoreMaker kGnome = [](const QString &) {
    return loadDesktopStore(ProxyStoreKind::Gnome, {});
};
const StoreMaker kKde = [](const QString &) { return loadDesktopStore(ProxyStoreKind::Kde, {}); };

} // namespace

Q_DECLARE_METATYPE(StoreMaker)
Q_DECLARE_METATYPE(ProxyOptions)

class tst_ProxyStores : public QObject
{
    Q_OBJECT

    QString m_path;
    std::optional<QTemporaryDir> m_dir;

private slots:
    void initTestCase() { QVERIFY2(storesNotPrivate().isEmpty(), qPrintable(storesNotPrivate())); }
    void init()
    {
        QFile::remove(gnomeKeyfilePath());
        QDir(gnomeKeyfilePath()).removeRecursively();
        QDir(kioslavercPath()).removeRecursively();
        QFile::remove(kioslavercPath());
        m_dir.emplace();
        // In a folder that is not there yet, as on a first start.
        m_path = m_dir->filePath(QStringLiteral("greenlark/internet-settings.ini"));
        qputenv("GREENLARK_INTERNET_SETTINGS", QFile::encodeName(m_path));
    }

    void writeAndRead_data()
    {
        QTest::addColumn<QByteArray>("file"); // before the write; or "<folder>", "<none>"
        QTest::addColumn<ProxyOptions>("options");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<bool>("writable");

        // Every option set, so the write has to overwrite each, and a null string
        // has to remove its key.
        const QByteArray old = "[DefaultConnection]\nAutoConfigUrl=old\nAutoDiscoveryFlags=9\n"
                               "Flags=9\nProxyBypass=old\nProxyServer=old\n";
        const ProxyOptions global{3, "127.0.0.1:1081", "<local>;127.*", QString(), 5};
        // wchar_t is 32 bits here and 16 on Windows: characters outside the BMP
        // must survive both conversions. Text that reads like INI syntax stays
        // text. No PAC address: its key goes.
        QTest::newRow("beyond ASCII, file syntax, a null string")
            << old
            << ProxyOptions{4294967295, QString::fromUtf8("代理.example:8080"),
                            QString::fromUtf8(
                                "[Group]\nFlags=1 ;#<local>;*.例子.cn;\U0001F600;\"q\",\\"),
                            QString(), 5}
            << true << true;
        QTest::newRow("first start: no file, no folder")
            << QByteArray("<none>") << global << true << true;
        QTest::newRow("a folder in its place")
            << QByteArray("<folder>") << global << false << false;
        // Values a person broke: reading them as 0 or "" would hand out settings
        // nobody stored; a full write replaces them.
        QTest::newRow("flags beyond 32 bits")
            << QByteArray("[DefaultConnection]\nFlags=4294967296\n") << global << false << true;
        QTest::newRow("server is a list")
            << QByteArray("[DefaultConnection]\nProxyServer=a:1,b:2\n") << global << false << true;
        // Qt would read it through a data stream that asks for gigabytes.
        QTest::newRow("a value no one but Qt's data stream writes")
            << QByteArray("[DefaultConnection]\nProxyServer=\"@Variant("
                          "\\0\\0\\0\\v\\x7f\\xff\\xff\\xff)\"\n")
            << global << false << false;
        QTest::newRow("a write cut short")
            << old << ProxyOptions{3, QString(), QString(20000, 'z'), QString(), 0} << true
            << false;
    }
    void writeAndRead()
    {
        QFETCH(QByteArray, file);
        QFETCH(ProxyOptions, options);
        QFETCH(bool, readable);
        QFETCH(bool, writable);

        QVERIFY(file == "<none>" ||
                (file == "<folder>" ? QDir().mkpath(m_path) : writeFile(m_path, file)));
        const QByteArray before = fileBytes(m_path);
        const auto others = [this] {
            return QFileInfo(m_path)
                .dir()
                .entryList(QDir::Files)
                .filter(QRegularExpression("^(?!internet-settings\\.ini$)"));
        };
        const QStringList files = others();
        const auto store = platform::makeInternetOptionsStore();
        platform::StoredProxy read;
        QCOMPARE(store->read(&read), readable);
        const ProxyOptions found = read.options;

        // A file size limit fails a large write part way, as a full disk does;
        // root ignores permissions but not this limit.
        rlimit old = {};
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit limit{4096, old.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool written = store->write(options);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(written, writable);
        // As another program reads the file.
        if (writable)
            QVERIFY(storedOptions() == options);
        else
            QCOMPARE(fileBytes(m_path), before);
        QCOMPARE(others(), files); // no half-written leftovers
        QCOMPARE(store->read(&read), writable || readable);
        QVERIFY(!(writable || readable) || read.options == (writable ? options : found));
        QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0),
                 BOOL(file != "<folder>" && platform::isPlainIni(file)));
    }

    void missingModuleIsAMissingDesktop()
    {
        // Named, then left out as a desktop whose settings are not installed.
        QTemporaryDir empty;
        auto back = qScopeGuard([modules = qgetenv("GREENLARK_MODULE_DIR")] {
            qputenv("GREENLARK_MODULE_DIR", modules);
        });
        qputenv("GREENLARK_MODULE_DIR", QFile::encodeName(empty.path()));
        QTest::ignoreMessage(QtDebugMsg,
                             QRegularExpression("cannot load the module greenlark-gnome"));
        QTest::ignoreMessage(QtDebugMsg, "System proxy options: the stand-in file");
        // The stand-in, as the line says.
        QCOMPARE(storesOfBackend("gnome").size(), size_t(1));
    }
    void desktopToolsReadGreenlarksOptions()
    {
        const auto kde = kKde({});
        const auto gnome = kGnome({});
        QVERIFY(kde->write(kGlobal) && gnome->write(kGlobal));
        QCOMPARE(gnomeKey("", "mode") + kdeKey("ProxyType"), "'manual'1");
        for (const QString protocol : {"http", "https"}) {
            QCOMPARE(gnomeKey("." + protocol, "host") + ":" + gnomeKey("." + protocol, "port"),
                     "'127.0.0.1':1081");
            QCOMPARE(kdeKey(protocol + "Proxy"), "http://127.0.0.1 1081");
        }
        QCOMPARE(kdeKey("NoProxyFor"), kDesktopBypass);
        QCOMPARE(gnomeKey("", "ignore-hosts"),
                 "['" + kDesktopBypass.split(',').join("', '") + "']");

        QVERIFY(kde->write(kPac) && gnome->write(kPac));
        QCOMPARE(gnomeKey("", "mode") + kdeKey("ProxyType"), "'auto'2");
        QCOMPARE(gnomeKey("", "autoconfig-url") + kdeKey("Proxy Config Script"),
                 "'" + kPac.autoConfigUrl + "'" + kPac.autoConfigUrl);
    }
    void desktopStates_data()
    {
        QTest::addColumn<StoreMaker>("store");
        QTest::addColumn<QString>("gnome");  // GNOME's keys the user set
        QTest::addColumn<QByteArray>("kde"); // kioslaverc; "<folder>": a folder in its place
        QTest::addColumn<QString>("view");   // what greenlark reads of them; empty: nothing
        QTest::addColumn<bool>("kept");      // whether the store keeps greenlark's options

        // A state read is kept; one that is not is refused.
        const auto gnome = [](const char *name, const char *keys, const char *view) {
            QTest::newRow(name) << kGnome << QString(keys) << QByteArray() << QString(view) << true;
        };
        const auto kde = [](const char *name, const QByteArray &keys, const char *view) {
            QTest::newRow(name) << kKde << QString()
                                << (keys == "<folder>" ? keys : "[Proxy Settings]\n" + keys)
                                << QString(view) << (*view != 0);
        };
        gnome("GNOME manual per protocol, IPv6, no port, keys greenlark never touches",
              "/mode='manual' /autoconfig-url='http://old/pac' /ignore-hosts=['*.corp', ''] "
              "/http/host='10.0.0.1' /http/port=80 /https/host='::1' /https/port=8443 "
              "/ftp/host='[fe80::2]' /ftp/port=21 /socks/host='socks.corp' /use-same-proxy=false "
              "/http/use-authentication=true",
              "3 | http=10.0.0.1:80;https=[::1]:8443;ftp=[fe80::2]:21;socks=socks.corp | *.corp; | "
              "http://old/pac");
        gnome("GNOME pac, a scheme typed into the host, odd ignore list",
              "/mode='auto' /autoconfig-url='http://wpad/p.pac' /ignore-hosts=['a;b', ' spaced ', "
              "'10.*'] /http/host='http://proxy' /https/host='http://proxy' /https/port=8080 "
              "/socks/host='s' /socks/port=1080",
              "5 | http=http://proxy:8080;https=http://proxy:8080;socks=s:1080 | a;b; spaced ;10.* "
              "| http://wpad/p.pac");
        gnome("GNOME auto without a URL is WPAD", "/mode='auto'",
              "9 |  | localhost;127.0.0.0/8;::1 | ");
        // KConfig's own layout, with each way of spelling a proxy KDE reads.
        kde("KDE manual, each spelling KDE reads",
            "NoProxyFor=a, b,,\nProxyType=1\nftpProxy=http://[::1] 21\n"
            "httpProxy=http://proxy:3128\nhttpsProxy=proxy:3128\n"
            "socksProxy=socks://proxy.corp 1080\n",
            "3 | http=proxy:3128;https=proxy:3128;ftp=[::1]:21;socks=proxy.corp:1080 | a; b;; | ");
        kde("KDE credentials, IPv6 without a port, reversed list",
            "NoProxyFor=only.corp\nProxyType=1\nReversedException=true\nftpProxy=http://::1\n"
            "httpProxy=http://u:p@ss@[::2] 8080\nhttpsProxy=http://u:p@ss@[::2]:8080\n",
            "3 | http=u:p@ss@[::2]:8080;https=u:p@ss@[::2]:8080;ftp=[::1] | only.corp | ");
        kde("KDE pac without a script", "ProxyType=2\n", "13 |  |  | ");
        kde("KDE wpad with a script kept",
            "Proxy Config Script=http://wpad/p.pac\nProxyType=3\nhttpProxy=http://proxy 3128\n",
            "9 | http=proxy:3128 |  | http://wpad/p.pac");

        // Failures: nothing read, or nothing changed.
        kde("KDE: port above 65535", "ProxyType=1\nhttpProxy=http://h 65536\n", "");
        kde("KDE: a blank before the port",
            "ProxyType=1\nhttpProxy=http://h 80x 0\nftpProxy=http://u:p w@h 0\n", "");
        kde("KDE: environment variables", "ProxyType=4\nhttpProxy=HTTP_PROXY\n", "");
        kde("KDE: kioslaverc is a folder", "<folder>", "");
        QTest::newRow("GNOME: schema missing") << StoreMaker([](const QString &folder) {
            return loadDesktopStore(ProxyStoreKind::Gnome, folder);
        }) << "/mode='manual'" << QByteArray() << ""
                                               << false;
        // The keyfile backend takes the write and fails to save it.
        QTest::newRow("GNOME: keyfile cannot be written") << StoreMaker([](const QString &) {
            QFile::remove(gnomeKeyfilePath());
            QDir().mkpath(gnomeKeyfilePath());
            return kGnome({});
        }) << "" << QByteArray() << "1 |  | localhost;127.0.0.0/8;::1 | "
                                                          << false;
        QTest::newRow("KDE: kioslaverc cannot be written") << StoreMaker([](const QString &folder) {
            writeFile(folder + "/file", "not a folder");
            return loadDesktopStore(ProxyStoreKind::Kde, folder + "/file/kioslaverc");
        }) << "" << QByteArray() << "1 |  |  | " << false;
    }
    void desktopStates()
    {
        QFETCH(StoreMaker, store);
        QFETCH(QString, gnome);
        QFETCH(QByteArray, kde);
        QFETCH(QString, view);
        QFETCH(bool, kept);

        QVERIFY(writeFile(gnomeKeyfilePath(), gnomeKeyfile(gnome.split(QRegularExpression(" (?=/)"),
                                                                       Qt::SkipEmptyParts))));
        if (kde == "<folder>")
            QVERIFY(QDir().mkpath(kioslavercPath()));
        else if (!kde.isEmpty())
            QVERIFY(writeFile(kioslavercPath(), kde));
        QTemporaryDir folder;
        const auto tried = store(folder.path());
        const QStringList before = desktopState();
        StoredProxy user;
        QCOMPARE(tried->read(&user) ? describe(user.options) : QString(), view);
        if (!kept) {
            // Refused, or not kept: a read says so.
            if (tried->write(kGlobal))
                QVERIFY(!tried->read(&user) || !sameOptions(user.options, kGlobal));
            QCOMPARE(desktopState(), before);
            return;
        }

        // greenlark's options, then the user's state back from what was read, as a
        // new start after a crash gives it back from the journal: exactly, keys
        // the view cannot carry included.
        for (const ProxyOptions &greenlarks : {kGlobal, kPac}) {
            QVERIFY(tried->write(greenlarks));
            QVERIFY(desktopState() != before);
            QVERIFY(tried->restore(user));
            QCOMPARE(desktopState(), before);
        }
        // What the view alone gives back where no exact state was kept, bar the
        // bypass entries the desktop cannot read.
        QVERIFY(tried->write(kGlobal) && tried->restore(StoredProxy{user.options, {}}));
        StoredProxy back;
        QVERIFY(tried->read(&back));
        user.options.proxyBypass = desktopBypassList(user.options.proxyBypass);
        QCOMPARE(describe(back.options), describe(user.options));
    }
    void kdeTellsRunningPrograms()
    {
        // Plasma 5's kded, Plasma 6's, none.
        for (const QString kded : {"org.kde.kded5", "org.kde.kded6", ""}) {
            // kded on a connection of its own, as a process of its own would be.
            QDBusConnection bus =
                QDBusConnection::connectToBus(QDBusConnection::SessionBus, "kded");
            FakeKded fake;
            QVERIFY(bus.connect(QString(), "/KIO/Scheduler", "org.kde.KIO.Scheduler",
                                "reparseSlaveConfiguration", &fake, SLOT(reparse(QString))));
            QVERIFY(bus.registerObject("/modules/proxyscout", &fake,
                                       QDBusConnection::ExportScriptableSlots));
            QVERIFY(kded.isEmpty() || bus.registerService(kded));

            kKde({})->notify();
            QTRY_COMPARE(fake.reparsed, QStringList({""}));
            QTRY_COMPARE(fake.resets, kded.isEmpty() ? 0 : 1);
            QVERIFY(kded.isEmpty() || bus.unregisterService(kded));
            QDBusConnection::disconnectFromBus("kded");
        }
    }
};

int main(int argc, char **argv)
{
    // A private session bus from before the application object exists, so nothing
    // KDE's store announces ever reaches the user's own desktop.
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address", "--nopidfile"});
    if (!bus.waitForReadyRead(10000))
        qFatal("no private session bus: %s", qPrintable(bus.errorString()));
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.readLine().trimmed());
    QCoreApplication app(argc, argv);
    tst_ProxyStores test;
    const int failures = QTest::qExec(&test, argc, argv);
    bus.kill();
    bus.waitForFinished();
    return failures;
}

#include "tst_proxystores.moc"
