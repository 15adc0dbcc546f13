// The main window without a service: its start, its settings page and file, the
// system proxy it sets and gives back, the tray, and its exit.
#include "mainwindow/cmainwindow.h"
#include "testsupport.h"

#include <QAction>
#include <QButtonGroup>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QtTest>

namespace {

const QString kBypass = QStringLiteral(
    "<local>;localhost;127.*;10.*;172.16.*;172.17.*;172.18.*;172.19.*;172.20.*;172.21.*;"
    "172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;172.29.*;172.30.*;"
    "172.31.*;192.168.*");
const QRegularExpression
    kTipsLine(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:(.*)$"),
              QRegularExpression::DotMatchesEverythingOption);
const QRegularExpression
    kPacUrl(QStringLiteral("^http://127\\.0\\.0\\.1:(\\d+)/pac/\\?t=(\\d{14})$"));

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeProxySettings(const QVariantMap &values)
{
    QSettings settings(proxySettingsPath(), QSettings::IniFormat);
    for (auto it = values.begin(); it != values.end(); ++it)
        settings.setValue(it.key(), it.value());
}

// What the user had before greenlark started.
void seedUserOptions()
{
    QSettings settings(internetSettingsPath(), QSettings::IniFormat);
    settings.setValue("DefaultConnection/Flags", 9);
    settings.setValue("DefaultConnection/ProxyServer", "corp-proxy:3128");
    settings.setValue("DefaultConnection/ProxyBypass", "<local>");
    settings.setValue("DefaultConnection/AutoConfigUrl", "http://wpad/wpad.dat");
    settings.setValue("DefaultConnection/AutoDiscoveryFlags", 13);
}

QString tipsMessage(CMainWindow &window)
{
    const QString text = window.findChild<QLabel *>("m_lbTips")->text();
    const QRegularExpressionMatch match = kTipsLine.match(text);
    return match.hasMatch() ? match.captured(1) : QStringLiteral("<not a tips line: %1>").arg(text);
}

void clickOk(CMainWindow &window)
{
    child<QPushButton>(window, "m_btnSetting_ok")->click();
}

int notifications()
{
    return internetSetting("Notifications/SettingsChanged").toInt();
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void firstStartAppliesGlobalMode();
    void storedPacModeAppliesPac();
    void storedValuesThatCannotBeUsed_data();
    void storedValuesThatCannotBeUsed();
    void tipsLineKeepsPercentSequences();

    void switchingModesKeepsOrReplacesStrings();
    void failedQueryChangesNothingAndExitWritesNothing();
    void exitRestoresOptionsOfTheStart();

    void firstOkWithoutStoredModeWritesAndApplies();
    void okWithNothingChangedWritesNothing();
    void okWithOnlyModeKeepsPacTimestamp();
    void cancelPutsThePageBack();
    void portRange_data();
    void portRange();

    void trayVisibility_data();
    void trayVisibility();
    void failuresAreSaid_data();
    void failuresAreSaid();
    void trayQuitClosesTheWindow();
    void startAtLogin();
    void fixedSizeWithoutMaximise();

    void teardownOrder();

private:
    ProcessEndRecorder *m_recorder = nullptr;
};

void tst_MainWindow::initTestCase()
{
    QVERIFY2(!internetSettingsPath().isEmpty(), "tests never touch the user's own settings");
    qApp->setQuitOnLastWindowClosed(false);
}

void tst_MainWindow::init()
{
    QFile::remove(proxySettingsPath());
    QFile::remove(internetSettingsPath());
    QDir(internetSettingsPath()).removeRecursively();
}

void tst_MainWindow::firstStartAppliesGlobalMode()
{
    ProcessEndRecorder recorder;
    CMainWindow window;

    QCOMPARE(child<QLineEdit>(window, "m_lePort")->text(), QStringLiteral("1081"));
    QVERIFY(child<QRadioButton>(window, "m_rbGlobal")->isChecked());
    QVERIFY(!child<QRadioButton>(window, "m_rbPac")->isChecked());
    QCOMPARE(tipsMessage(window), QStringLiteral("初始化完成"));
    QCOMPARE(child<QStackedWidget>(window, "m_swFun")->currentWidget()->objectName(),
             QStringLiteral("m_linkPage"));
    QVERIFY(child<QPushButton>(window, "m_btnLink")->isChecked());

    QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 3);
    QCOMPARE(internetSetting("DefaultConnection/ProxyServer").toString(),
             QStringLiteral("127.0.0.1:1081"));
    QCOMPARE(internetSetting("DefaultConnection/ProxyBypass").toString(), kBypass);
    QCOMPARE(notifications(), 1);
    QCOMPARE(internetSetting("Notifications/Refresh").toInt(), 1);
    // Nothing was stored, so nothing is written yet.
    QVERIFY(!QFile::exists(proxySettingsPath()));
}

void tst_MainWindow::storedPacModeAppliesPac()
{
    writeProxySettings({{"ListenPort", 2080}, {"ProxyMode", 2}});
    ProcessEndRecorder recorder;
    CMainWindow window;

    QVERIFY(child<QRadioButton>(window, "m_rbPac")->isChecked());
    QCOMPARE(child<QLineEdit>(window, "m_lePort")->text(), QStringLiteral("2080"));
    QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 5);
    const QRegularExpressionMatch url =
        kPacUrl.match(internetSetting("DefaultConnection/AutoConfigUrl").toString());
    QVERIFY2(url.hasMatch(),
             qPrintable(internetSetting("DefaultConnection/AutoConfigUrl").toString()));
    QCOMPARE(url.captured(1), QStringLiteral("2081"));
    const QDateTime stamp = QDateTime::fromString(url.captured(2), "yyyyMMddhhmmss");
    QVERIFY(stamp.isValid());
    QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 60);
}

void tst_MainWindow::storedValuesThatCannotBeUsed_data()
{
    QTest::addColumn<QVariant>("port");
    QTest::addColumn<QVariant>("mode");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("server");

    QTest::newRow("garbage port") << QVariant("abc") << QVariant(3) << "1081"
                                  << "127.0.0.1:1081";
    QTest::newRow("port 0") << QVariant(0) << QVariant(3) << "1081"
                            << "127.0.0.1:1081";
    QTest::newRow("port above range") << QVariant(65535) << QVariant(3) << "1081"
                                      << "127.0.0.1:1081";
    QTest::newRow("six digits") << QVariant(999999) << QVariant(3) << "1081"
                                << "127.0.0.1:1081";
    QTest::newRow("top of range") << QVariant(65534) << QVariant(3) << "65534"
                                  << "127.0.0.1:65534";
    QTest::newRow("garbage mode is global") << QVariant(1090) << QVariant("pac") << "1090"
                                            << "127.0.0.1:1090";
}

void tst_MainWindow::storedValuesThatCannotBeUsed()
{
    QFETCH(QVariant, port);
    QFETCH(QVariant, mode);
    QFETCH(QString, field);
    QFETCH(QString, server);

    writeProxySettings({{"ListenPort", port}, {"ProxyMode", mode}});
    ProcessEndRecorder recorder;
    CMainWindow window;

    QCOMPARE(child<QLineEdit>(window, "m_lePort")->text(), field);
    QVERIFY(child<QRadioButton>(window, "m_rbGlobal")->isChecked());
    QCOMPARE(internetSetting("DefaultConnection/ProxyServer").toString(), server);
}

void tst_MainWindow::tipsLineKeepsPercentSequences()
{
    ProcessEndRecorder recorder;
    CMainWindow window;
    window.showTips(QStringLiteral("100%1 done %2"));
    QCOMPARE(tipsMessage(window), QStringLiteral("100%1 done %2"));
}

void tst_MainWindow::switchingModesKeepsOrReplacesStrings()
{
    seedUserOptions();
    ProcessEndRecorder recorder;
    CMainWindow window;
    // Global at start: server and bypass replaced, the user's PAC address and
    // discovery flags kept as they were.
    QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 3);
    QCOMPARE(internetSetting("DefaultConnection/AutoConfigUrl").toString(),
             QStringLiteral("http://wpad/wpad.dat"));
    QCOMPARE(internetSetting("DefaultConnection/AutoDiscoveryFlags").toInt(), 13);

    child<QRadioButton>(window, "m_rbPac")->click();
    clickOk(window);
    QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 5);
    QCOMPARE(internetSetting("DefaultConnection/ProxyServer").toString(),
             QStringLiteral("127.0.0.1:1081"));
    QCOMPARE(internetSetting("DefaultConnection/ProxyBypass").toString(), kBypass);
    QVERIFY(
        kPacUrl.match(internetSetting("DefaultConnection/AutoConfigUrl").toString()).hasMatch());
    QCOMPARE(internetSetting("DefaultConnection/AutoDiscoveryFlags").toInt(), 13);
    QCOMPARE(tipsMessage(window), QStringLiteral("监听端口：1081,代理模式：PAC模式"));

    // Someone else changes the server while we run; global mode takes it back.
    QSettings(internetSettingsPath(), QSettings::IniFormat)
        .setValue("DefaultConnection/ProxyServer", "elsewhere:80");
    child<QRadioButton>(window, "m_rbGlobal")->click();
    child<QLineEdit>(window, "m_lePort")->setText("1200");
    clickOk(window);
    QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 3);
    QCOMPARE(internetSetting("DefaultConnection/ProxyServer").toString(),
             QStringLiteral("127.0.0.1:1200"));
    QCOMPARE(internetSetting("DefaultConnection/AutoDiscoveryFlags").toInt(), 13);
    QCOMPARE(tipsMessage(window), QStringLiteral("监听端口：1200,代理模式：全局模式"));
    QCOMPARE(notifications(), 3);
}

void tst_MainWindow::failedQueryChangesNothingAndExitWritesNothing()
{
    // A folder where the options file should be: nothing can be read or written.
    QVERIFY(QDir().mkpath(internetSettingsPath()));
    ProcessEndRecorder recorder;
    {
        CMainWindow window;
        child<QRadioButton>(window, "m_rbPac")->click();
        clickOk(window);

        // The user's options become readable again before the exit.
        QVERIFY(QDir(internetSettingsPath()).removeRecursively());
        seedUserOptions();
    }
    QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 9);
    QCOMPARE(internetSetting("DefaultConnection/ProxyServer").toString(),
             QStringLiteral("corp-proxy:3128"));
    QCOMPARE(internetSetting("DefaultConnection/AutoDiscoveryFlags").toInt(), 13);
    QCOMPARE(notifications(), 0);
}

void tst_MainWindow::exitRestoresOptionsOfTheStart()
{
    seedUserOptions();
    ProcessEndRecorder recorder;
    {
        CMainWindow window;
        child<QRadioButton>(window, "m_rbPac")->click();
        child<QLineEdit>(window, "m_lePort")->setText("3000");
        clickOk(window);
        QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 5);
        QCOMPARE(notifications(), 2);
    }
    QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 9);
    QCOMPARE(internetSetting("DefaultConnection/ProxyServer").toString(),
             QStringLiteral("corp-proxy:3128"));
    QCOMPARE(internetSetting("DefaultConnection/ProxyBypass").toString(),
             QStringLiteral("<local>"));
    QCOMPARE(internetSetting("DefaultConnection/AutoConfigUrl").toString(),
             QStringLiteral("http://wpad/wpad.dat"));
    QCOMPARE(internetSetting("DefaultConnection/AutoDiscoveryFlags").toInt(), 13);
    // The restore tells running programs, as every other write does.
    QCOMPARE(notifications(), 3);
}

void tst_MainWindow::firstOkWithoutStoredModeWritesAndApplies()
{
    ProcessEndRecorder recorder;
    CMainWindow window;
    child<QPushButton>(window, "m_btnSetting")->click();
    clickOk(window);

    QSettings stored(proxySettingsPath(), QSettings::IniFormat);
    QCOMPARE(stored.value("ProxyMode").toInt(), 3);
    QVERIFY(!stored.contains("ListenPort"));
    QCOMPARE(tipsMessage(window), QStringLiteral("监听端口：1081,代理模式：全局模式"));
    QCOMPARE(notifications(), 2);
    QCOMPARE(child<QStackedWidget>(window, "m_swFun")->currentWidget()->objectName(),
             QStringLiteral("m_linkPage"));
}

void tst_MainWindow::okWithNothingChangedWritesNothing()
{
    writeProxySettings({{"ProxyMode", 3}});
    const QByteArray before = fileBytes(proxySettingsPath());
    ProcessEndRecorder recorder;
    CMainWindow window;
    child<QPushButton>(window, "m_btnSetting")->click();
    clickOk(window);

    QCOMPARE(fileBytes(proxySettingsPath()), before);
    QCOMPARE(tipsMessage(window), QStringLiteral("初始化完成"));
    QCOMPARE(notifications(), 1);
    QVERIFY(child<QPushButton>(window, "m_btnLink")->isChecked());
}

void tst_MainWindow::okWithOnlyModeKeepsPacTimestamp()
{
    writeProxySettings({{"ProxyMode", 3}});
    ProcessEndRecorder recorder;
    const auto stampNow = [] {
        return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    };
    QString startStamp;
    std::unique_ptr<CMainWindow> window;
    // The address is built during construction; make sure we know its second.
    for (;;) {
        const QString before = stampNow();
        window.reset(new CMainWindow);
        if (stampNow() == before) {
            startStamp = before;
            break;
        }
    }
    QTRY_VERIFY_WITH_TIMEOUT(stampNow() != startStamp, 3000);

    child<QRadioButton>(*window, "m_rbPac")->click();
    clickOk(*window);
    const QRegularExpressionMatch url =
        kPacUrl.match(internetSetting("DefaultConnection/AutoConfigUrl").toString());
    QVERIFY(url.hasMatch());
    QCOMPARE(url.captured(2), startStamp);
    QCOMPARE(QSettings(proxySettingsPath(), QSettings::IniFormat).value("ProxyMode").toInt(), 2);
}

void tst_MainWindow::cancelPutsThePageBack()
{
    writeProxySettings({{"ListenPort", 1500}, {"ProxyMode", 2}});
    const QByteArray before = fileBytes(proxySettingsPath());
    ProcessEndRecorder recorder;
    CMainWindow window;
    auto *port = child<QLineEdit>(window, "m_lePort");

    child<QPushButton>(window, "m_btnSetting")->click();
    port->setText("8080");
    child<QRadioButton>(window, "m_rbGlobal")->click();
    // Leaving through the menu keeps the edits on the page.
    child<QPushButton>(window, "m_btnLink")->click();
    QCOMPARE(port->text(), QStringLiteral("8080"));
    QVERIFY(child<QRadioButton>(window, "m_rbGlobal")->isChecked());

    child<QPushButton>(window, "m_btnSetting")->click();
    child<QPushButton>(window, "m_btnSetting_cancel")->click();
    QCOMPARE(port->text(), QStringLiteral("1500"));
    QVERIFY(child<QRadioButton>(window, "m_rbPac")->isChecked());
    QVERIFY(!child<QRadioButton>(window, "m_rbGlobal")->isChecked());
    QCOMPARE(fileBytes(proxySettingsPath()), before);
    QCOMPARE(notifications(), 1);
    QCOMPARE(child<QStackedWidget>(window, "m_swFun")->currentWidget()->objectName(),
             QStringLiteral("m_linkPage"));
}

void tst_MainWindow::portRange_data()
{
    QTest::addColumn<QString>("entered");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("empty") << "" << false;
    QTest::newRow("zero") << "0" << false;
    QTest::newRow("PAC port would overflow") << "65535" << false;
    QTest::newRow("six digits") << "999999" << false;
    QTest::newRow("lowest") << "1" << true;
    QTest::newRow("highest") << "65534" << true;
    QTest::newRow("leading zeros") << "01082" << true;
}

void tst_MainWindow::portRange()
{
    QFETCH(QString, entered);
    QFETCH(bool, accepted);

    writeProxySettings({{"ProxyMode", 3}});
    const QByteArray before = fileBytes(proxySettingsPath());
    ProcessEndRecorder recorder;
    CMainWindow window;
    auto *port = child<QLineEdit>(window, "m_lePort");
    child<QPushButton>(window, "m_btnSetting")->click();
    port->setText(entered);
    child<QRadioButton>(window, "m_rbPac")->click();
    clickOk(window);

    if (accepted) {
        const int value = entered.toInt();
        QCOMPARE(QSettings(proxySettingsPath(), QSettings::IniFormat).value("ListenPort").toInt(),
                 value);
        QVERIFY(internetSetting("DefaultConnection/AutoConfigUrl")
                    .toString()
                    .startsWith(QStringLiteral("http://127.0.0.1:%1/pac/").arg(value + 1)));
        return;
    }
    QCOMPARE(tipsMessage(window), QStringLiteral("监听端口无效：%1").arg(entered));
    QCOMPARE(port->text(), QStringLiteral("1081"));
    QCOMPARE(fileBytes(proxySettingsPath()), before);
    QCOMPARE(internetSetting("DefaultConnection/Flags").toInt(), 3);
    QCOMPARE(internetSetting("DefaultConnection/ProxyServer").toString(),
             QStringLiteral("127.0.0.1:1081"));
    QCOMPARE(notifications(), 1);
}

void tst_MainWindow::trayVisibility_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("withTray");
    QTest::addColumn<bool>("visible");

    QTest::newRow("minimised") << int(Qt::WindowMinimized) << true << false;
    QTest::newRow("maximised") << int(Qt::WindowMaximized) << true << false;
    QTest::newRow("minimised and maximised")
        << int(Qt::WindowMinimized | Qt::WindowMaximized) << true << true;
    QTest::newRow("full screen") << int(Qt::WindowFullScreen) << true << true;
    // Nothing could bring a hidden window back.
    QTest::newRow("minimised, no tray") << int(Qt::WindowMinimized) << false << true;
}

void tst_MainWindow::trayVisibility()
{
    QFETCH(int, state);
    QFETCH(bool, withTray);
    QFETCH(bool, visible);

    ProcessEndRecorder recorder;
    setTrayAvailableForTests(withTray);
    auto noTrayOverride = qScopeGuard([] { setTrayAvailableForTests(std::nullopt); });
    CMainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    window.setWindowState(Qt::WindowStates(state));
    QCOMPARE(window.isVisible(), visible);

    auto *tray = window.findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    QCOMPARE(tray->toolTip(), QStringLiteral("greenlark proxy"));
    QVERIFY(!tray->icon().isNull());

    emit tray->activated(QSystemTrayIcon::Trigger);
    emit tray->activated(QSystemTrayIcon::MiddleClick);
    QCOMPARE(window.isVisible(), visible);

    emit tray->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(window.isVisible());
    QCOMPARE(window.windowState(), Qt::WindowNoState);
}

void tst_MainWindow::failuresAreSaid_data()
{
    QTest::addColumn<QString>("broken"); // "settings", "store", "store lock"
    QTest::addColumn<bool>("beforeStart");
    QTest::addColumn<QString>("tip");

    QTest::newRow("store unreadable at start")
        << "store" << true << QStringLiteral("初始化完成，但无法读取系统代理设置");
    QTest::newRow("store unwritable at start")
        << "store lock" << true << QStringLiteral("初始化完成，但无法设置系统代理");
    QTest::newRow("store unwritable on OK") << "store lock" << false
                                            << QStringLiteral("监听端口：1300,代理模式：全局模式"
                                                              "（无法设置系统代理）");
    QTest::newRow("settings unwritable on OK")
        << "settings" << false
        << QStringLiteral("监听端口：1300,代理模式：全局模式（无法保存到%1，仅本次运行有效）")
               .arg(proxySettingsPath());
}

void tst_MainWindow::failuresAreSaid()
{
    QFETCH(QString, broken);
    QFETCH(bool, beforeStart);
    QFETCH(QString, tip);

    // Folders where files should be: they can be neither read nor written.
    const auto breakIt = [&broken] {
        const QString folder = broken == QLatin1String("settings") ? proxySettingsPath()
                               : broken == QLatin1String("store")
                                   ? internetSettingsPath()
                                   : internetSettingsPath() + QLatin1String(".lock");
        QVERIFY(QDir().mkpath(folder));
    };
    auto repair = qScopeGuard([] {
        QDir(proxySettingsPath()).removeRecursively();
        QDir(internetSettingsPath() + QLatin1String(".lock")).removeRecursively();
    });
    ProcessEndRecorder recorder;
    if (beforeStart)
        breakIt();
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot"));
    CMainWindow window;
    if (!beforeStart) {
        breakIt();
        child<QLineEdit>(window, "m_lePort")->setText("1300");
        clickOk(window);
    }
    QCOMPARE(tipsMessage(window), tip);
    // What could be applied holds for this run.
    if (broken == QLatin1String("settings"))
        QCOMPARE(internetSetting("DefaultConnection/ProxyServer").toString(),
                 QStringLiteral("127.0.0.1:1300"));
}

void tst_MainWindow::trayQuitClosesTheWindow()
{
    ProcessEndRecorder recorder;
    CMainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto *tray = window.findChild<QSystemTrayIcon *>();
    QMenu *menu = tray->contextMenu();
    QVERIFY(menu);
    QAction *quit = menu->actions().last();
    QCOMPARE(quit->text(), QStringLiteral("退出"));

    quit->trigger();
    QVERIFY(!window.isVisible());
}

void tst_MainWindow::startAtLogin()
{
    ProcessEndRecorder recorder;
    CMainWindow window;
    QMenu *menu = window.findChild<QSystemTrayIcon *>()->contextMenu();
    QAction *action = nullptr;
    for (QAction *candidate : menu->actions()) {
        if (candidate->text() == QStringLiteral("开机启动"))
            action = candidate;
    }
    QVERIFY(action && action->isCheckable() && !action->isChecked());
    const QString entry =
        qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/autostart/greenlark.desktop");

    action->trigger();
    QVERIFY(action->isChecked());
    QVERIFY(fileBytes(entry).contains("\nExec=" + QCoreApplication::applicationFilePath().toUtf8() +
                                      "\n"));
    action->trigger();
    QVERIFY(!action->isChecked());
    QVERIFY(!QFileInfo::exists(entry));

    // What is there at each opening, whoever put it there.
    QFile(entry).open(QIODevice::WriteOnly);
    emit menu->aboutToShow();
    QVERIFY(action->isChecked());
    QFile::remove(entry);
    emit menu->aboutToShow();
    QVERIFY(!action->isChecked());

    // A failed write is said, and claims nothing.
    QVERIFY(QDir().mkpath(entry));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot be changed"));
    action->trigger();
    QVERIFY(!action->isChecked());
    QVERIFY(tipsMessage(window).startsWith(QStringLiteral("无法设置开机启动")));
    QVERIFY(QDir(entry).removeRecursively());
}

void tst_MainWindow::fixedSizeWithoutMaximise()
{
    ProcessEndRecorder recorder;
    CMainWindow window;
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QCOMPARE(window.size(), QSize(412, 736));
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(window.windowTitle(), QStringLiteral("greenlark(ver:01.00.00)"));
}

void tst_MainWindow::teardownOrder()
{
    seedUserOptions();
    QStringList ended;
    QStringList seenAtFirstEnd;
    QVariant flagsWhenTrayWent;

    auto *window = new CMainWindow;
    QPointer<QObject> tray = window->findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    connect(tray.data(), &QObject::destroyed, this,
            [&] { flagsWhenTrayWent = internetSetting("DefaultConnection/Flags"); });
    QPointer<QWidget> login;
    QPointer<QWidget> nodeWin;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (top->objectName() == QLatin1String("CLoginWindow"))
            login = top;
        else if (top->objectName() == QLatin1String("CNodeWin"))
            nodeWin = top;
    }
    QVERIFY(login && nodeWin);
    QVERIFY(!login->isVisible() && !nodeWin->isVisible());

    platform::setProcessEnder([&](const QString &name) {
        if (ended.isEmpty()) {
            seenAtFirstEnd << (login ? "login" : "") << (nodeWin ? "nodeWin" : "")
                           << (tray ? "tray" : "")
                           << internetSetting("DefaultConnection/Flags").toString();
        }
        ended << name;
    });
    delete window;
    ProcessEndRecorder restoreRecorder;

    QCOMPARE(ended, QStringList({"v2ray.exe", "background.exe", "greenlark.exe"}));
    // Everything owned is gone and the user's options are back before the first
    // process is ended; the tray icon went while greenlark's proxy still stood.
    QCOMPARE(seenAtFirstEnd, QStringList({"", "", "", "9"}));
    QCOMPARE(flagsWhenTrayWent.toInt(), 3);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
