// The stand-in WinINet per-connection options: what a caller gets back, what
// another program finds in the settings file, and every call that must fail
// without allocating or storing anything.

#include "platform/win32.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <optional>
#include <string>
#include <sys/resource.h>

namespace {

// A connection as "Key=value" lines, the way the settings file holds it: a null
// string has no line. Written sorted, as the query's and the file's lines are.
using Options = QStringList;
// In the order of the option ids, 1 to 5.
const QStringList kKeys{"Flags", "ProxyServer", "ProxyBypass", "AutoConfigUrl",
                        "AutoDiscoveryFlags"};
const Options kDefaults{"AutoDiscoveryFlags=1", "Flags=1"};
const Options kGlobalProxy{"AutoDiscoveryFlags=5", "Flags=3",
                           "ProxyBypass=<local>;localhost;127.*;10.*;172.16.*;192.168.*",
                           "ProxyServer=127.0.0.1:1081"};

bool isString(int entry)
{
    return entry != 0 && entry != 4;
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
    if (!InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &l.list, &l.length))
        return {QStringLiteral("query failed")};
    Options options;
    for (int i = 0; i < 5; ++i) {
        const auto &value = l.options[i].Value;
        const QString key = kKeys.at(i) + '=';
        if (!isString(i)) {
            options << key + QString::number(value.dwValue);
        } else if (value.pszValue) {
            options << key + QString::fromWCharArray(value.pszValue);
            GlobalFree(value.pszValue);
        }
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
        const QString value = line.section('=', 1);
        if (isString(i)) {
            strings[i] = value.toStdWString();
            l.options[i].Value.pszValue = strings[i].data();
        } else {
            l.options[i].Value.dwValue = value.toUInt();
        }
    }
    return InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &l.list, l.length);
}

BOOL notify(DWORD option)
{
    return InternetSetOptionW(nullptr, option, nullptr, 0);
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

// One group of the file as another program reads it with QSettings. Read from a
// fresh copy: QSettings caches files by path and would not see a rewrite within
// one tick.
Options fileKeys(const QString &path, const QString &group = QStringLiteral("DefaultConnection"))
{
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("copy.ini"));
    QFile::copy(path, copy);
    QSettings settings(copy, QSettings::IniFormat);
    settings.beginGroup(group);
    Options keys;
    for (const QString &key : settings.childKeys())
        keys << key + '=' + settings.value(key).toString();
    keys.sort();
    return keys;
}

// One call as a caller makes it, for a test row to damage.
struct Call
{
    OptionList l;
    HINTERNET handle = nullptr;
    DWORD option = INTERNET_OPTION_PER_CONNECTION_OPTION;
    LPVOID buffer = &l.list;
    LPDWORD length = &l.length;
};
using Damage = void (*)(Call &);

} // namespace

Q_DECLARE_METATYPE(Damage)

class tst_InternetOptions : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void noFileGivesDefaults();
    void roundTrip_data();
    void roundTrip();
    void malformedCallsFail_data();
    void malformedCallsFail();
    void damagedFile_data();
    void damagedFile();
    void failedWriteKeepsOldFile();
    void fileLocationAndCounts_data();
    void fileLocationAndCounts();

private:
    QString m_path;
    std::optional<QTemporaryDir> m_dir;
};

void tst_InternetOptions::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("internet-settings.ini"));
    qputenv("GREENLARK_INTERNET_SETTINGS", QFile::encodeName(m_path));
}

void tst_InternetOptions::noFileGivesDefaults()
{
    QCOMPARE(queried(), kDefaults);
    QVERIFY2(!QFile::exists(m_path), "a query never writes");
    QCOMPARE(GlobalFree(nullptr), static_cast<HGLOBAL>(nullptr));
}

void tst_InternetOptions::roundTrip_data()
{
    QTest::addColumn<Options>("options");

    QTest::newRow("global proxy") << kGlobalProxy;
    QTest::newRow("empty strings are not null") << Options{
        "AutoConfigUrl=", "AutoDiscoveryFlags=0", "Flags=1", "ProxyBypass=", "ProxyServer="};
    // wchar_t is 32 bits here and 16 on Windows: characters outside the BMP
    // must survive both conversions. Text that reads like INI syntax stays text.
    QTest::newRow("beyond ASCII, file syntax")
        << Options{"AutoConfigUrl=[Group]\nFlags=1 ;#", "AutoDiscoveryFlags=0", "Flags=4294967295",
                   QString::fromUtf8("ProxyBypass=<local>;*.例子.cn;\U0001F600;\"q\",\\"),
                   QString::fromUtf8("ProxyServer=代理.example:8080")};
}

void tst_InternetOptions::roundTrip()
{
    QFETCH(Options, options);

    // Start from something else, so every option has to be overwritten and a
    // null string has to remove its key.
    QCOMPARE(store({"AutoConfigUrl=old", "AutoDiscoveryFlags=9", "Flags=9", "ProxyBypass=old",
                    "ProxyServer=old"}),
             TRUE);
    QCOMPARE(store(options), TRUE);
    QCOMPARE(queried(), options);
    QCOMPARE(fileKeys(m_path), options);
}

void tst_InternetOptions::malformedCallsFail_data()
{
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<int>("optionError"); // -1: left as it was

    QTest::newRow("null list") << Damage([](Call &c) { c.buffer = nullptr; }) << -1;
    QTest::newRow("dwSize 31") << Damage([](Call &c) { c.l.list.dwSize -= 1; }) << -1;
    QTest::newRow("length 33") << Damage([](Call &c) { c.l.length += 1; }) << -1;
    QTest::newRow("unknown id after known ones")
        << Damage([](Call &c) { c.l.options[4].dwOption = 6; }) << 4;
    QTest::newRow("named connection") << Damage([](Call &c) {
        static wchar_t name[] = L"VPN";
        c.l.list.pszConnection = name;
    }) << -1;
    QTest::newRow("a handle") << Damage([](Call &c) { c.handle = &c; }) << -1;
}

void tst_InternetOptions::malformedCallsFail()
{
    QFETCH(Damage, damage);
    QFETCH(int, optionError);

    QCOMPARE(store(kGlobalProxy), TRUE);
    const QByteArray before = fileBytes(m_path);
    wchar_t untouched[] = L"untouched";
    const DWORD kNoError = 0x5A5A5A5A;

    for (const bool isQuery : {true, false}) {
        Call c;
        for (auto &option : c.l.options)
            option.Value.pszValue = untouched;
        c.l.list.dwOptionError = kNoError;
        damage(c);

        const BOOL result = isQuery ? InternetQueryOptionW(c.handle, c.option, c.buffer, c.length)
                                    : InternetSetOptionW(c.handle, c.option, c.buffer, c.l.length);
        QCOMPARE(result, FALSE);
        // Nothing allocated: every value is still the caller's own (and the
        // leak checker would see any string that was).
        for (const auto &entry : c.l.options)
            QCOMPARE(static_cast<void *>(entry.Value.pszValue), static_cast<void *>(untouched));
        QCOMPARE(c.l.list.dwOptionError, optionError < 0 ? kNoError : DWORD(optionError));
        QCOMPARE(fileBytes(m_path), before);
    }
}

void tst_InternetOptions::damagedFile_data()
{
    QTest::addColumn<QByteArray>("contents"); // empty: a folder in the file's place
    QTest::addColumn<bool>("writable");

    QTest::newRow("a folder in its place") << QByteArray() << false;
    // Values a person broke: reading them as 0 or "" would hand out settings
    // nobody stored; a full write replaces them.
    QTest::newRow("flags beyond 32 bits")
        << QByteArray("[DefaultConnection]\nFlags=4294967296\n") << true;
    QTest::newRow("server is a list")
        << QByteArray("[DefaultConnection]\nProxyServer=a:1,b:2\n") << true;
}

void tst_InternetOptions::damagedFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, writable);

    if (contents.isEmpty()) {
        QVERIFY(QDir().mkpath(m_path));
    } else {
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    const QByteArray before = fileBytes(m_path);

    // Refused with nothing allocated; the leak checker sees any string that was.
    QCOMPARE(queried(), Options{"query failed"});

    QCOMPARE(notify(INTERNET_OPTION_REFRESH), writable ? TRUE : FALSE);
    QCOMPARE(store(kGlobalProxy), writable ? TRUE : FALSE);
    if (writable)
        QCOMPARE(queried(), kGlobalProxy);
    else
        QCOMPARE(fileBytes(m_path), before);
}

void tst_InternetOptions::failedWriteKeepsOldFile()
{
    QCOMPARE(store(kGlobalProxy), TRUE);
    const QByteArray before = fileBytes(m_path);
    const QStringList filesBefore = QDir(m_dir->path()).entryList(QDir::Files);

    const Options large{"ProxyBypass=" + QString(20000, QLatin1Char('z'))};
    // A file size limit fails the write part way, as a full disk does; root
    // ignores permissions but not this limit.
    rlimit old = {};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 4096;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    const BOOL stored = store(large);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(stored, FALSE);
    QCOMPARE(fileBytes(m_path), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), filesBefore); // no half-written leftovers
    QCOMPARE(queried(), kGlobalProxy);
}

void tst_InternetOptions::fileLocationAndCounts_data()
{
    // "%1" is a private folder; a null value unsets the variable.
    QTest::addColumn<QString>("explicitPath");
    QTest::addColumn<QString>("configHome");
    QTest::addColumn<QString>("expected");

    const QString homeFile = QStringLiteral("%1/home/.config/greenlark/internet-settings.ini");
    QTest::newRow("explicit path")
        << QString("%1/mine.ini") << QString("%1/xdg") << QString("%1/mine.ini");
    QTest::newRow("no config home") << QString() << QString() << homeFile;
}

void tst_InternetOptions::fileLocationAndCounts()
{
    QFETCH(QString, explicitPath);
    QFETCH(QString, configHome);
    QFETCH(QString, expected);

    // Left changed: init() sets the explicit path again, so the other tests
    // never read the others.
    const QString root = m_dir->path();
    auto setEnv = [&root](const char *name, QString value) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, QFile::encodeName(value.replace(QLatin1String("%1"), root)));
    };
    setEnv("HOME", "%1/home");
    setEnv("XDG_CONFIG_HOME", configHome);
    setEnv("GREENLARK_INTERNET_SETTINGS", explicitPath);

    // Counted "ever": storing options does not reset the counts, and counting
    // does not disturb the options.
    QCOMPARE(notify(INTERNET_OPTION_REFRESH), TRUE);
    QCOMPARE(store(kGlobalProxy), TRUE);
    for (DWORD option : {INTERNET_OPTION_SETTINGS_CHANGED, INTERNET_OPTION_REFRESH})
        QCOMPARE(notify(option), TRUE);
    const QString file = expected.replace(QLatin1String("%1"), root);
    QCOMPARE(fileKeys(file), kGlobalProxy);
    QCOMPARE(fileKeys(file, "Notifications"), (Options{"Refresh=2", "SettingsChanged=1"}));
    QCOMPARE(queried(), kGlobalProxy);
}

QTEST_GUILESS_MAIN(tst_InternetOptions)
#include "tst_internetoptions.moc"
