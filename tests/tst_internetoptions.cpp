// The stand-in for WinINet's per-connection options, through the store greenlark
// keeps them with: what a caller gets back and what another program finds in
// the settings file.

#include "platform/plainini.h"
#include "platform/proxystore.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <optional>
#include <sys/resource.h>

Q_DECLARE_METATYPE(ProxyOptions)

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
};

QTEST_GUILESS_MAIN(tst_InternetOptions)
#include "tst_internetoptions.moc"
