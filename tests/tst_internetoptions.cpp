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

const wchar_t kBypass[] = L"<local>;localhost;127.*;10.*;172.16.*;192.168.*";

struct Connection
{
    DWORD flags = PROXY_TYPE_DIRECT;
    QString proxyServer; // null: no string
    QString proxyBypass;
    QString autoConfigUrl;
    DWORD autoDiscoveryFlags = 1;
};

QString text(const QString &value)
{
    return value.isNull() ? QStringLiteral("<null>") : QLatin1Char('"') + value + QLatin1Char('"');
}

// One line per connection, so a mismatch shows every option at once.
QString describe(const Connection &c)
{
    return QStringLiteral("flags %1, server %2, bypass %3, pac %4, discovery %5")
        .arg(c.flags)
        .arg(text(c.proxyServer), text(c.proxyBypass), text(c.autoConfigUrl))
        .arg(c.autoDiscoveryFlags);
}

// The five options of the default connection, laid out as the main window does.
struct OptionList
{
    INTERNET_PER_CONN_OPTIONW options[5] = {};
    INTERNET_PER_CONN_OPTION_LISTW list = {};
    DWORD length = sizeof(INTERNET_PER_CONN_OPTION_LISTW);

    OptionList()
    {
        for (DWORD i = 0; i < 5; ++i)
            options[i].dwOption = INTERNET_PER_CONN_FLAGS + i;
        list.dwSize = sizeof(INTERNET_PER_CONN_OPTION_LISTW);
        list.dwOptionCount = 5;
        list.pOptions = options;
    }
};

QString takeString(LPWSTR value)
{
    const QString result = value ? QString::fromWCharArray(value) : QString();
    GlobalFree(value);
    return result;
}

std::optional<Connection> query()
{
    OptionList l;
    if (InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &l.list, &l.length) !=
        TRUE)
        return std::nullopt;
    Connection c;
    c.flags = l.options[0].Value.dwValue;
    c.proxyServer = takeString(l.options[1].Value.pszValue);
    c.proxyBypass = takeString(l.options[2].Value.pszValue);
    c.autoConfigUrl = takeString(l.options[3].Value.pszValue);
    c.autoDiscoveryFlags = l.options[4].Value.dwValue;
    return c;
}

QString queried()
{
    const std::optional<Connection> c = query();
    return c ? describe(*c) : QStringLiteral("query failed");
}

BOOL store(const Connection &c)
{
    const std::wstring server = c.proxyServer.toStdWString();
    const std::wstring bypass = c.proxyBypass.toStdWString();
    const std::wstring pac = c.autoConfigUrl.toStdWString();
    auto wide = [](const QString &value, const std::wstring &buffer) {
        return value.isNull() ? nullptr : const_cast<LPWSTR>(buffer.c_str());
    };
    OptionList l;
    l.options[0].Value.dwValue = c.flags;
    l.options[1].Value.pszValue = wide(c.proxyServer, server);
    l.options[2].Value.pszValue = wide(c.proxyBypass, bypass);
    l.options[3].Value.pszValue = wide(c.autoConfigUrl, pac);
    l.options[4].Value.dwValue = c.autoDiscoveryFlags;
    return InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &l.list, l.length);
}

Connection globalProxy()
{
    Connection c;
    c.flags = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
    c.proxyServer = QStringLiteral("127.0.0.1:1081");
    c.proxyBypass = QString::fromWCharArray(kBypass);
    c.autoDiscoveryFlags = 5;
    return c;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no file>");
}

// The file as another program reads it with QSettings. Read from a fresh copy:
// QSettings caches files by path and would not see a rewrite within one tick.
QMap<QString, QString> fileKeys(const QString &path)
{
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("copy.ini"));
    QFile::copy(path, copy);
    QSettings settings(copy, QSettings::IniFormat);
    QMap<QString, QString> keys;
    for (const QString &key : settings.allKeys())
        keys.insert(key, settings.value(key).toString());
    return keys;
}

void writeFile(const QString &path, const QByteArray &contents)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(contents), contents.size());
}

// Sets or unsets one environment variable for its lifetime.
class EnvVar
{
public:
    EnvVar(const char *name, const QString &value)
        : m_name(name), m_wasSet(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, QFile::encodeName(value));
    }
    ~EnvVar()
    {
        if (m_wasSet)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    Q_DISABLE_COPY(EnvVar)
    const char *m_name;
    bool m_wasSet;
    QByteArray m_old;
};

// Limits the size of files this process writes, so a write fails part way, the
// way a full disk fails it; root ignores permissions but not this limit.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }

private:
    Q_DISABLE_COPY(FileSizeLimit)
    rlimit m_old = {};
    void (*m_oldHandler)(int) = nullptr;
};

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
    void initTestCase();
    void init();

    void noFileGivesDefaults();
    void roundTrip_data();
    void roundTrip();
    void partialListAndNullStrings();
    void notificationsAreCounted();
    void malformedCallsFail_data();
    void malformedCallsFail();
    void damagedFile_data();
    void damagedFile();
    void failedWriteStoresNothing_data();
    void failedWriteStoresNothing();
    void fileLocation_data();
    void fileLocation();

private:
    QString m_path;
    std::optional<QTemporaryDir> m_dir;
    std::optional<QTemporaryDir> m_home;
};

void tst_InternetOptions::initTestCase()
{
    // Run by hand or by CTest, nothing here may reach the user's own settings.
    m_home.emplace();
    QVERIFY(m_home->isValid());
    qputenv("HOME", QFile::encodeName(m_home->filePath(QStringLiteral("home"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home->filePath(QStringLiteral("config"))));
}

void tst_InternetOptions::init()
{
    m_dir.emplace();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("internet-settings.ini"));
    qputenv("GREENLARK_INTERNET_SETTINGS", QFile::encodeName(m_path));
}

void tst_InternetOptions::noFileGivesDefaults()
{
    Connection defaults;
    QCOMPARE(queried(), describe(defaults));
    QVERIFY2(!QFile::exists(m_path), "a query never writes");
    QCOMPARE(GlobalFree(nullptr), static_cast<HGLOBAL>(nullptr));
}

void tst_InternetOptions::roundTrip_data()
{
    QTest::addColumn<DWORD>("flags");
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("bypass");
    QTest::addColumn<QString>("pac");
    QTest::addColumn<DWORD>("discovery");

    const QString bypass = QString::fromWCharArray(kBypass);
    QTest::newRow("global proxy") << DWORD(3) << "127.0.0.1:1081" << bypass << QString()
                                  << DWORD(5);
    QTest::newRow("pac address") << DWORD(5) << QString() << QString()
                                 << "http://127.0.0.1:1082/pac/?t=20240102030405" << DWORD(1);
    QTest::newRow("empty strings are not null") << DWORD(1) << ""
                                                << ""
                                                << "" << DWORD(0);
    // wchar_t is 32 bits here and 16 on Windows: characters outside the BMP
    // must survive both conversions.
    QTest::newRow("beyond ASCII") << DWORD(0xFFFFFFFF) << QString::fromUtf8("代理.example:8080")
                                  << QString::fromUtf8("<local>;*.例子.cn;\U0001F600;\"q\",\\")
                                  << QString() << DWORD(0);
    QTest::newRow("text that reads like file syntax") << DWORD(3) << "@Invalid()"
                                                      << "a:1,b:2;c"
                                                      << "[Group]\nFlags=1 \\x41 ;#" << DWORD(5);
    QTest::newRow("longer than any fixed buffer")
        << DWORD(2) << "proxy:1" << QString(5000, QLatin1Char('b')) << QString() << DWORD(5);
}

void tst_InternetOptions::roundTrip()
{
    QFETCH(DWORD, flags);
    QFETCH(QString, server);
    QFETCH(QString, bypass);
    QFETCH(QString, pac);
    QFETCH(DWORD, discovery);
    const Connection c{flags, server, bypass, pac, discovery};

    // Start from something else, so every option has to be overwritten.
    Connection other;
    other.flags = 9;
    other.proxyServer = other.proxyBypass = other.autoConfigUrl = QStringLiteral("old");
    QCOMPARE(store(other), TRUE);

    QCOMPARE(store(c), TRUE);
    QCOMPARE(queried(), describe(c));

    QMap<QString, QString> expected;
    expected.insert(QStringLiteral("DefaultConnection/Flags"), QString::number(flags));
    expected.insert(QStringLiteral("DefaultConnection/AutoDiscoveryFlags"),
                    QString::number(discovery));
    if (!server.isNull())
        expected.insert(QStringLiteral("DefaultConnection/ProxyServer"), server);
    if (!bypass.isNull())
        expected.insert(QStringLiteral("DefaultConnection/ProxyBypass"), bypass);
    if (!pac.isNull())
        expected.insert(QStringLiteral("DefaultConnection/AutoConfigUrl"), pac);
    QCOMPARE(fileKeys(m_path), expected);
}

void tst_InternetOptions::partialListAndNullStrings()
{
    QCOMPARE(store(globalProxy()), TRUE);

    // Only the proxy server, now null: its key goes, the others stay.
    OptionList l;
    l.options[0].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
    l.options[0].Value.pszValue = nullptr;
    l.list.dwOptionCount = 1;
    QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &l.list, l.length),
             TRUE);

    Connection expected = globalProxy();
    expected.proxyServer = QString();
    QCOMPARE(queried(), describe(expected));
    QVERIFY(!fileKeys(m_path).contains(QStringLiteral("DefaultConnection/ProxyServer")));

    // A partial query fills what it asked for and nothing else.
    OptionList q;
    q.options[0].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
    q.options[1].dwOption = INTERNET_PER_CONN_FLAGS;
    q.options[2].Value.dwValue = 0xA5A5A5A5;
    q.list.dwOptionCount = 2;
    QCOMPARE(
        InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &q.list, &q.length),
        TRUE);
    QCOMPARE(takeString(q.options[0].Value.pszValue), expected.proxyBypass);
    QCOMPARE(q.options[1].Value.dwValue, expected.flags);
    QCOMPARE(q.options[2].Value.dwValue, DWORD(0xA5A5A5A5));
}

void tst_InternetOptions::notificationsAreCounted()
{
    for (DWORD option :
         {INTERNET_OPTION_SETTINGS_CHANGED, INTERNET_OPTION_REFRESH,
          INTERNET_OPTION_SETTINGS_CHANGED, INTERNET_OPTION_REFRESH, INTERNET_OPTION_REFRESH})
        QCOMPARE(InternetSetOptionW(nullptr, option, nullptr, 0), TRUE);
    // Counted "ever": storing options does not reset the counts, and counting
    // does not disturb the options.
    QCOMPARE(store(globalProxy()), TRUE);
    QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0), TRUE);

    const QMap<QString, QString> keys = fileKeys(m_path);
    QCOMPARE(keys.value(QStringLiteral("Notifications/SettingsChanged")), QStringLiteral("3"));
    QCOMPARE(keys.value(QStringLiteral("Notifications/Refresh")), QStringLiteral("3"));
    QCOMPARE(queried(), describe(globalProxy()));
}

void tst_InternetOptions::malformedCallsFail_data()
{
    QTest::addColumn<Damage>("damage");
    QTest::addColumn<int>("optionError"); // -1: left as it was

    QTest::newRow("null list") << Damage([](Call &c) { c.buffer = nullptr; }) << -1;
    QTest::newRow("null length pointer") << Damage([](Call &c) { c.length = nullptr; }) << -1;
    QTest::newRow("dwSize 0") << Damage([](Call &c) { c.l.list.dwSize = 0; }) << -1;
    QTest::newRow("dwSize 31") << Damage([](Call &c) { c.l.list.dwSize -= 1; }) << -1;
    QTest::newRow("dwSize 33") << Damage([](Call &c) { c.l.list.dwSize += 1; }) << -1;
    QTest::newRow("length 31") << Damage([](Call &c) { c.l.length -= 1; }) << -1;
    QTest::newRow("length 33") << Damage([](Call &c) { c.l.length += 1; }) << -1;
    QTest::newRow("option count 0") << Damage([](Call &c) { c.l.list.dwOptionCount = 0; }) << -1;
    QTest::newRow("null options") << Damage([](Call &c) { c.l.list.pOptions = nullptr; }) << -1;
    QTest::newRow("unknown id after known ones")
        << Damage([](Call &c) { c.l.options[4].dwOption = 6; }) << 4;
    QTest::newRow("unknown id 0 first")
        << Damage([](Call &c) { c.l.options[0].dwOption = 0; }) << 0;
    QTest::newRow("named connection") << Damage([](Call &c) {
        static wchar_t name[] = L"VPN";
        c.l.list.pszConnection = name;
    }) << -1;
    QTest::newRow("a handle") << Damage([](Call &c) { c.handle = &c; }) << -1;
    QTest::newRow("another option") << Damage([](Call &c) { c.option = 74; }) << -1;
}

void tst_InternetOptions::malformedCallsFail()
{
    QFETCH(Damage, damage);
    QFETCH(int, optionError);

    QCOMPARE(store(globalProxy()), TRUE);
    const QByteArray before = fileBytes(m_path);
    wchar_t untouched[] = L"untouched";
    const DWORD kNoError = 0x5A5A5A5A;

    for (const bool isQuery : {true, false}) {
        Call c;
        for (auto &option : c.l.options)
            option.Value.pszValue = untouched;
        c.l.list.dwOptionError = kNoError;
        damage(c);
        if (!isQuery && c.length == nullptr)
            continue; // the write takes its length by value

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
    QTest::addColumn<bool>("queryWorks");
    QTest::addColumn<bool>("storeWorks");
    QTest::addColumn<bool>("refreshWorks");

    QTest::newRow("a folder in its place") << QByteArray() << false << false << false;
    QTest::newRow("unterminated group")
        << QByteArray("[DefaultConnection\nFlags=3\n") << false << false << false;
    // Values a person broke: reading them as 0 or "" would hand out settings
    // nobody stored; a full write replaces them.
    QTest::newRow("flags not a number")
        << QByteArray("[DefaultConnection]\nFlags=direct\n") << false << true << true;
    QTest::newRow("flags negative")
        << QByteArray("[DefaultConnection]\nFlags=-1\n") << false << true << true;
    QTest::newRow("flags beyond 32 bits")
        << QByteArray("[DefaultConnection]\nFlags=4294967296\n") << false << true << true;
    QTest::newRow("discovery flags empty")
        << QByteArray("[DefaultConnection]\nAutoDiscoveryFlags=\n") << false << true << true;
    QTest::newRow("server is a list")
        << QByteArray("[DefaultConnection]\nProxyServer=a:1,b:2\n") << false << true << true;
    QTest::newRow("bypass is not a string")
        << QByteArray("[DefaultConnection]\nProxyBypass=@Invalid()\n") << false << true << true;
    QTest::newRow("refresh count not a number")
        << QByteArray("[Notifications]\nRefresh=many\n") << true << true << false;
}

void tst_InternetOptions::damagedFile()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, queryWorks);
    QFETCH(bool, storeWorks);
    QFETCH(bool, refreshWorks);

    if (contents.isEmpty())
        QVERIFY(QDir().mkpath(m_path));
    else
        writeFile(m_path, contents);
    const QByteArray before = fileBytes(m_path);

    OptionList l;
    l.options[1].Value.pszValue = nullptr;
    l.options[4].Value.dwValue = 77;
    const BOOL queriedOk =
        InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &l.list, &l.length);
    QCOMPARE(queriedOk, queryWorks ? TRUE : FALSE);
    if (queriedOk) {
        for (int i = 1; i < 4; ++i)
            GlobalFree(l.options[i].Value.pszValue);
    } else {
        QVERIFY(l.options[1].Value.pszValue == nullptr);
        QCOMPARE(l.options[4].Value.dwValue, DWORD(77));
    }

    QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0),
             refreshWorks ? TRUE : FALSE);
    if (!refreshWorks)
        QCOMPARE(fileBytes(m_path), before);

    QCOMPARE(store(globalProxy()), storeWorks ? TRUE : FALSE);
    if (storeWorks)
        QCOMPARE(queried(), describe(globalProxy()));
    else
        QCOMPARE(fileBytes(m_path), before);
}

void tst_InternetOptions::failedWriteStoresNothing_data()
{
    QTest::addColumn<bool>("parentIsAFile");

    QTest::newRow("folder cannot be made") << true;
    QTest::newRow("write fails part way") << false;
}

void tst_InternetOptions::failedWriteStoresNothing()
{
    QFETCH(bool, parentIsAFile);

    Connection old;
    if (parentIsAFile) {
        const QString blocker = m_dir->filePath(QStringLiteral("not-a-folder"));
        writeFile(blocker, "x");
        m_path = blocker + QStringLiteral("/internet-settings.ini");
        qputenv("GREENLARK_INTERNET_SETTINGS", QFile::encodeName(m_path));
    } else {
        old = globalProxy();
        QCOMPARE(store(old), TRUE);
    }
    const QByteArray before = fileBytes(m_path);
    const QStringList filesBefore = QDir(m_dir->path()).entryList(QDir::Files);

    Connection large = globalProxy();
    large.proxyBypass = QString(20000, QLatin1Char('z'));
    BOOL stored = TRUE;
    BOOL counted = FALSE;
    {
        FileSizeLimit limit(4096);
        stored = store(large);
        if (parentIsAFile)
            counted = InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
    }
    QCOMPARE(stored, FALSE);
    QCOMPARE(counted, FALSE);
    QCOMPARE(fileBytes(m_path), before);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), filesBefore); // no half-written leftovers
    QCOMPARE(queried(), describe(old));
}

void tst_InternetOptions::fileLocation_data()
{
    // "%1" is a private folder; a null value unsets the variable.
    QTest::addColumn<QString>("explicitPath");
    QTest::addColumn<QString>("configHome");
    QTest::addColumn<QString>("expected");

    const QString xdgFile = QStringLiteral("%1/xdg/greenlark/internet-settings.ini");
    const QString homeFile = QStringLiteral("%1/home/.config/greenlark/internet-settings.ini");
    QTest::newRow("explicit path") << "%1/mine.ini"
                                   << "%1/xdg"
                                   << "%1/mine.ini";
    QTest::newRow("config home") << QString() << "%1/xdg" << xdgFile;
    QTest::newRow("empty explicit path") << ""
                                         << "%1/xdg" << xdgFile;
    QTest::newRow("home without config home") << QString() << QString() << homeFile;
    QTest::newRow("home with empty config home") << QString() << "" << homeFile;
}

void tst_InternetOptions::fileLocation()
{
    QFETCH(QString, explicitPath);
    QFETCH(QString, configHome);
    QFETCH(QString, expected);

    const QString root = m_dir->path();
    auto place = [&root](const QString &value) {
        return value.isNull() ? QString() : QString(value).replace(QLatin1String("%1"), root);
    };
    EnvVar home("HOME", root + QStringLiteral("/home"));
    EnvVar xdg("XDG_CONFIG_HOME", place(configHome));
    EnvVar own("GREENLARK_INTERNET_SETTINGS", place(explicitPath));

    QCOMPARE(store(globalProxy()), TRUE);
    QCOMPARE(InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0), TRUE);
    const QString file = place(expected);
    QVERIFY2(QFile::exists(file), qPrintable(file));
    QCOMPARE(fileKeys(file).value(QStringLiteral("DefaultConnection/ProxyServer")),
             globalProxy().proxyServer);
    QCOMPARE(fileKeys(file).value(QStringLiteral("Notifications/SettingsChanged")),
             QStringLiteral("1"));
    QCOMPARE(queried(), describe(globalProxy()));
}

QTEST_GUILESS_MAIN(tst_InternetOptions)
#include "tst_internetoptions.moc"
