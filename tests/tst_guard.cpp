// The single-instance guard, with two real processes against each other.
#include <QDir>
#include <QProcess>
#include <QtTest>

namespace {

QString probePath()
{
    return QString::fromLocal8Bit(qgetenv("GREENLARK_GUARDPROBE"));
}

QString socketFile()
{
    return QDir::tempPath() + QStringLiteral("/localserver");
}

} // namespace

class tst_Guard : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void laterStartHandsOverItsLastArgument_data();
    void laterStartHandsOverItsLastArgument();
    void staleSocketOfAKilledCopyIsTakenOver();

private:
    void startFirstCopy();
    QString firstCopyLog();

    QProcess m_first;
    QByteArray m_firstLog;
};

void tst_Guard::init()
{
    QVERIFY2(QFileInfo::exists(probePath()), "GREENLARK_GUARDPROBE names no program");
    m_firstLog.clear();
    QFile::remove(socketFile());
}

void tst_Guard::cleanup()
{
    if (m_first.state() != QProcess::NotRunning) {
        m_first.kill();
        m_first.waitForFinished(5000);
    }
    QFile::remove(socketFile());
}

void tst_Guard::startFirstCopy()
{
    m_first.setProgram(probePath());
    m_first.start();
    QVERIFY(m_first.waitForStarted(5000));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += m_first.readAllStandardOutput()).contains("guard ready"),
                             10000);
    QVERIFY(firstCopyLog().contains("Can't connect to server,build a server"));
}

QString tst_Guard::firstCopyLog()
{
    m_firstLog += m_first.readAllStandardError();
    return QString::fromUtf8(m_firstLog);
}

void tst_Guard::laterStartHandsOverItsLastArgument_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("logged");

    QTest::newRow("one argument") << QStringList{"open"} << "The value is: open";
    QTest::newRow("last of several")
        << QStringList{"first", "second", "third"} << "The value is: third";
    QTest::newRow("only the first word")
        << QStringList{"hello big world"} << "The value is: hello\n";
    QTest::newRow("no argument") << QStringList{} << "The value is: \n";
}

void tst_Guard::laterStartHandsOverItsLastArgument()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, logged);

    startFirstCopy();
    if (QTest::currentTestFailed())
        return;

    QProcess second;
    second.start(probePath(), arguments);
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(second.readAllStandardError().contains("Connected server,program will quit"));
    // The later copy never becomes a running copy.
    QVERIFY(!second.readAllStandardOutput().contains("guard ready"));

    QTRY_VERIFY_WITH_TIMEOUT(firstCopyLog().contains(logged), 10000);
    QCOMPARE(m_first.state(), QProcess::Running);
}

void tst_Guard::staleSocketOfAKilledCopyIsTakenOver()
{
    startFirstCopy();
    if (QTest::currentTestFailed())
        return;
    m_first.kill();
    QVERIFY(m_first.waitForFinished(5000));
    QVERIFY2(QFileInfo::exists(socketFile()), "a killed copy leaves its socket file");

    // Nobody answers on the stale socket, so the next start must run, not leave.
    startFirstCopy();
    if (QTest::currentTestFailed())
        return;

    QProcess second;
    second.start(probePath(), {"again"});
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(firstCopyLog().contains("The value is: again"), 10000);
}

QTEST_GUILESS_MAIN(tst_Guard)
#include "tst_guard.moc"
