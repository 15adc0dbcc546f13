// The stand-in WinINet per-connection options: what a caller gets back and
// what another program finds in the settings file.

#include "platform/plainini.h"
#include "platform/win32.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <optional>
#include <string>
#include <sys/resource.h>

namespace {

// A connection as sorted "Key=value" lines, the way the settings file holds it
// (without its group): a null string has no line.
using Options = QStringList;
// In the order of the option ids, 1 to 5.
const QStringList kKeys{"Flags", "ProxyServer", "ProxyBypass", "AutoConfigUrl",
                        "AutoDiscoveryFlags"};
const Options kGlobalProxy{"AutoDiscoveryFlags=5", "Flags=3", "ProxyBypass=<local>;127.*",
                           "ProxyServer=127.0.0.1:1081"};
const Options kFailed{"query failed"};

// Options 1 and 5 are numbers, the others strings.
bool isString(int index)
{
    return index % 4 != 0;
}

// The five options of the default connection, laid out as the main window does.
struct OptionList
{
    INTERNET_PER_CONN_OPTIONW options[5] = {{1, {}}, {2, {}}, {3, {}}, {4, {}}, {5, {}}};
    INTERNET_PER_CONN_OPTION_LISTW list = {sizeof(INTERNET_PER_CONN_OPTION_LISTW), nullptr, 5, 0,
                                           options};
    DWORD length = sizeof(INTERNET_PER_CONN_OPTION_LISTW);
};

Options queried()
{
    OptionList l;
    l.options[0].dwOption = INTERNET_PER_CONN_FLAGS_UI; // all the flags, as greenlark asks
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &l.list, &l.length))
        return kFailed;
    Options options;
    for (int i = 0; i < 5; ++i) {
        const auto &value = l.options[i].Value;
        if (!isString(i))
            options << kKeys[i] + '=' + QString::number(value.dwValue);
        else if (value.pszValue)
            options << kKeys[i] + '=' + QString::fromWCharArray(value.pszValue);
        GlobalFree(isString(i) ? value.pszValue : nullptr);
    }
    options.sort();
    return options;
}

BOOL store(const Options &options)
{
    std::wstring strings[5];
    OptionList l;
    for (const QString &line : options) {
        const int i = kKeys.indexOf(line.section('=', 0, 0));
        strings[i] = line.section('=', 1).toStdWString();
        if (isString(i))
            l.options[i].Value.pszValue = strings[i].data();
        else
            l.options[i].Value.dwValue = line.section('=', 1).toUInt();
    }
    return InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &l.list, l.length);
}

// The file as another program reads it with QSettings. Read from a fresh copy:
// QSettings caches files by path and would not see a rewrite within one tick.
Options fileKeys(const QString &path)
{
    // A file Qt cannot read safely is compared byte for byte.
    if (!platform::isPlainIni(fileBytes(path)))
        return {fileBytes(path)};
    QTemporaryDir dir;
    QFile::copy(path, dir.filePath("copy.ini"));
    const QSettings settings(dir.filePath("copy.ini"), QSettings::IniFormat);
    Options keys;
    for (const QString &key : settings.allKeys())
        keys << QString(key).remove("DefaultConnection/") + '=' + settings.value(key).toString();
    keys.sort();
    return keys;
}

} // namespace

class tst_InternetOptions : public QObject
{
    Q_OBJECT

    QString m_path;
    std::optional<QTemporaryDir> m_dir;

private slots:
    void init()
    {
        m_dir.emplace();
        // In a folder that is not there yet, as on a first start.
        m_path = m_dir->filePath(QStringLiteral("greenlark/internet-settings.ini"));
        qputenv("GREENLARK_INTERNET_SETTINGS", QFile::encodeName(m_path));
    }

    void storeAndQuery_data()
    {
        QTest::addColumn<QByteArray>("file"); // before the store; or "<folder>", "<none>"
        QTest::addColumn<Options>("options");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<bool>("writable");

        // Every option set, so the store has to overwrite each, and a null string
        // has to remove its key.
        const QByteArray old = "[DefaultConnection]\nAutoConfigUrl=old\nAutoDiscoveryFlags=9\n"
                               "Flags=9\nProxyBypass=old\nProxyServer=old\n";
        QTest::newRow("empty strings are not null")
            << old
            << Options{"AutoConfigUrl=", "AutoDiscoveryFlags=0", "Flags=1",
                       "ProxyBypass=", "ProxyServer="}
            << true << true;
        // wchar_t is 32 bits here and 16 on Windows: characters outside the BMP
        // must survive both conversions. Text that reads like INI syntax stays
        // text. No PAC address: its key goes.
        QTest::newRow("beyond ASCII, file syntax, a null string")
            << old
            << Options{"AutoDiscoveryFlags=5", "Flags=4294967295",
                       QString::fromUtf8(
                           "ProxyBypass=[Group]\nFlags=1 ;#<local>;*.例子.cn;\U0001F600;\"q\",\\"),
                       QString::fromUtf8("ProxyServer=代理.example:8080")}
            << true << true;
        QTest::newRow("first start: no file, no folder")
            << QByteArray("<none>") << kGlobalProxy << true << true;
        QTest::newRow("a folder in its place")
            << QByteArray("<folder>") << kGlobalProxy << false << false;
        // Values a person broke: reading them as 0 or "" would hand out settings
        // nobody stored; a full write replaces them.
        QTest::newRow("flags beyond 32 bits")
            << QByteArray("[DefaultConnection]\nFlags=4294967296\n") << kGlobalProxy << false
            << true;
        QTest::newRow("server is a list")
            << QByteArray("[DefaultConnection]\nProxyServer=a:1,b:2\n") << kGlobalProxy << false
            << true;
        // Qt would read it through a data stream that asks for gigabytes.
        QTest::newRow("a value no one but Qt's data stream writes")
            << QByteArray("[DefaultConnection]\nProxyServer=\"@Variant("
                          "\\0\\0\\0\\v\\x7f\\xff\\xff\\xff)\"\n")
            << kGlobalProxy << false << false;
        QTest::newRow("a write cut short")
            << old << Options{"ProxyBypass=" + QString(20000, 'z')} << true << false;
    }

    void storeAndQuery()
    {
        QFETCH(QByteArray, file);
        QFETCH(Options, options);
        QFETCH(bool, readable);
        QFETCH(bool, writable);

        QVERIFY(file == "<none>" ||
                (file == "<folder>" ? QDir().mkpath(m_path) : writeFile(m_path, file)));
        const Options before = fileKeys(m_path);
        const QFileInfo settingsFile(m_path);
        const auto others = [&settingsFile] {
            QStringList files = settingsFile.dir().entryList(QDir::Files);
            files.removeAll(settingsFile.fileName());
            return files;
        };
        const QStringList files = others();
        // A refused query allocates nothing; the leak checker sees any string that was.
        QCOMPARE(queried() != kFailed, readable);

        // A file size limit fails a large write part way, as a full disk does;
        // root ignores permissions but not this limit.
        rlimit old = {};
        getrlimit(RLIMIT_FSIZE, &old);
        const rlimit limit{4096, old.rlim_max};
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        const BOOL stored = store(options);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(stored, BOOL(writable));
        QCOMPARE(fileKeys(m_path), writable ? options : before);
        QCOMPARE(others(), files); // no half-written leftovers
        QCOMPARE(queried(), writable ? options : readable ? before : kFailed);
        QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0),
                 BOOL(file != "<folder>" && platform::isPlainIni(file)));
    }
};

QTEST_GUILESS_MAIN(tst_InternetOptions)
#include "tst_internetoptions.moc"
