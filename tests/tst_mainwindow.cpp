// The main window without a service: its start, its settings page and file, the
// system proxy it sets and gives back, what it says when those fail, the tray,
// and its exit.
#include "mainwindow/cmainwindow.h"
#include "platform/autostart.h"
#include "session/proxysettingsfile.h"
#include "testsupport.h"
#include "userproxy/proxyjournal.h"

#include <QAction>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QRegularExpression
    kPacUrl(QStringLiteral("^http://127\\.0\\.0\\.1:(\\d+)/pac/\\?t=(\\d{14})$"));

// "<file>" stands for the file's bytes, as a person may leave them.
void writeProxySettings(const QVariantMap &values)
{
    if (values.contains("<file>")) {
        QVERIFY(writeFile(proxySettingsPath(), values.value("<file>").toByteArray()));
        return;
    }
    QSettings settings(proxySettingsPath(), QSettings::IniFormat);
    for (auto it = values.begin(); it != values.end(); ++it)
        settings.setValue(it.key(), it.value());
}

// What the user had before greenlark started.
const ProxyOptions kUser{9, "corp-proxy:3128", "<local>", "http://wpad/wpad.dat", 13};

QString option(const char *name)
{
    return internetSetting(QStringLiteral("DefaultConnection/") + QLatin1String(name)).toString();
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(storesNotPrivate().isEmpty(), qPrintable(storesNotPrivate()));
        qApp->setQuitOnLastWindowClosed(false);
    }
    void init()
    {
        QFile::remove(proxySettingsPath());
        QFile::remove(internetSettingsPath());
        QDir(internetSettingsPath()).removeRecursively();
        QFile::remove(proxyjournal::path());
        QDir(proxyjournal::path()).removeRecursively();
    }

    void scalesWithTheScreen_data()
    {
        QTest::addColumn<int>("dpi");
        QTest::addColumn<QString>("factor"); // QT_SCALE_FACTOR
        QTest::addColumn<double>("scale");

        // The screen's millimetres are whole at each DPI, so X tells it exactly.
        QTest::newRow("100 %") << 96 << "" << 1.0;
        QTest::newRow("screen at 150 %") << 144 << "" << 1.5;
        QTest::newRow("screen at 200 %") << 192 << "" << 2.0;
        QTest::newRow("QT_SCALE_FACTOR 1.5") << 96 << "1.5" << 1.5;
        QTest::newRow("QT_SCALE_FACTOR 2") << 96 << "2" << 2.0;
    }
    void scalesWithTheScreen()
    {
        QFETCH(int, dpi);
        QFETCH(QString, factor);
        QFETCH(double, scale);

        QProcess display, greenlark;
        std::optional<QProcessEnvironment> environment = startDisplay(display, "2880x2880x24", dpi);
        if (!environment)
            QSKIP("Xvfb is not installed");
        QTemporaryDir runtime;
        environment->insert("XDG_RUNTIME_DIR", runtime.path());
        if (!factor.isEmpty())
            environment->insert("QT_SCALE_FACTOR", factor);
        greenlark.setProcessEnvironment(*environment);
        greenlark.start(qEnvironmentVariable("GREENLARK_APPPROBE"), QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(greenlark.canReadLine(), 20000);
        greenlark.write("measure\n");
        QVERIFY(greenlark.waitForFinished(20000));
        const auto measured = QRegularExpression("measured (\\d+)x(\\d+) cut:(.*)\n")
                                  .match(greenlark.readAllStandardOutput());
        QVERIFY(measured.hasMatch());
        QCOMPARE(measured.captured(3), QString()); // no text cut off, on any page
        static QSize atOne;
        const QSize size(measured.captured(1).toInt(), measured.captured(2).toInt());
        atOne = scale == 1.0 ? size : atOne;
        QCOMPARE(size, atOne * scale);
        display.terminate();
        display.waitForFinished();
    }

    void startAppliesTheStoredSettings_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("pac");

        QTest::newRow("first start") << QVariantMap() << "1081" << false;
        QTest::newRow("PAC mode") << QVariantMap{{"ListenPort", 2080}, {"ProxyMode", 2}} << "2080"
                                  << true;
        // A port that cannot be listened on would point the system proxy at nothing.
        QTest::newRow("garbage port") << QVariantMap{{"ListenPort", "abc"}} << "1081" << false;
        QTest::newRow("PAC port would overflow")
            << QVariantMap{{"ListenPort", 65535}} << "1081" << false;
        QTest::newRow("garbage mode is global")
            << QVariantMap{{"ListenPort", 1090}, {"ProxyMode", "pac"}} << "1090" << false;
        // Qt would read it through a data stream that asks for gigabytes.
        QTest::newRow("a value no one but Qt's data stream writes")
            << QVariantMap{{"<file>", QByteArray("[General]\nProxyMode=2\nListenPort=@Variant("
                                                 "\\0\\0\\0\\v\\x7f\\xff\\xff\\xff)\n")}}
            << "1081" << false;
    }
    void startAppliesTheStoredSettings()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QString, field);
        QFETCH(bool, pac);

        writeProxySettings(stored);
        const QByteArray before = fileBytes(proxySettingsPath());
        CMainWindow window;

        QCOMPARE(child<QLineEdit>(window, "m_lePort")->text(), field);
        QCOMPARE(child<QRadioButton>(window, "m_rbPac")->isChecked(), pac);
        QCOMPARE(child<QRadioButton>(window, "m_rbGlobal")->isChecked(), !pac);
        QCOMPARE(tipsMessage(window), QStringLiteral("初始化完成"));
        QCOMPARE(notifications(), 1);
        QCOMPARE(internetSetting("Notifications/Refresh").toInt(), 1);
        // Loading writes nothing.
        QCOMPARE(fileBytes(proxySettingsPath()), before);
        if (pac) {
            QCOMPARE(option("Flags"), QStringLiteral("5"));
            const QRegularExpressionMatch url = kPacUrl.match(option("AutoConfigUrl"));
            QVERIFY2(url.hasMatch(), qPrintable(option("AutoConfigUrl")));
            QCOMPARE(url.captured(1).toInt(), field.toInt() + 1);
            const QDateTime stamp = QDateTime::fromString(url.captured(2), "yyyyMMddhhmmss");
            QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 60);
        } else {
            QCOMPARE(option("Flags"), QStringLiteral("3"));
            QCOMPARE(option("ProxyServer"), QStringLiteral("127.0.0.1:") + field);
            QCOMPARE(option("ProxyBypass"), kOwnBypass);
        }
        // The message is put in after the time: a percent sequence in it stays.
        window.showTips(QStringLiteral("100%1 done %2"));
        QCOMPARE(tipsMessage(window), QStringLiteral("100%1 done %2"));
    }
    void settingsOk_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QString>("entered");
        QTest::addColumn<bool>("pac");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QVariantMap>("storedAfter"); // empty: the file is unchanged
        QTest::addColumn<QString>("tip");

        const QVariantMap global{{"ProxyMode", 3}};
        const auto ok = [&](const char *name, const QString &entered, bool pac,
                            const QVariantMap &after, const QString &tip) {
            QTest::addRow("%s", name) << global << entered << pac << "ok" << after << tip;
        };
        // With no mode stored, the page's mode always differs from the default 1.
        QTest::newRow("first OK") << QVariantMap() << "1081" << false << "ok"
                                  << QVariantMap{{"ProxyMode", 3}}
                                  << "监听端口：1081,代理模式：全局模式";
        ok("nothing changed", "1081", false, {}, "初始化完成");
        ok("lowest port", "1", true, {{"ListenPort", 1}, {"ProxyMode", 2}},
           "监听端口：1,代理模式：PAC模式");
        ok("highest port", "65534", false, {{"ListenPort", 65534}, {"ProxyMode", 3}},
           "监听端口：65534,代理模式：全局模式");
        ok("leading zeros", "01082", false, {{"ListenPort", 1082}, {"ProxyMode", 3}},
           "监听端口：1082,代理模式：全局模式");
        for (const char *refused : {"", "0", "65535", "999999"}) {
            ok(qPrintable(QStringLiteral("port \"%1\" refused").arg(refused)), refused, true, {},
               QStringLiteral("监听端口无效：%1").arg(refused));
        }
        // Cancel puts the page back as it was stored.
        QTest::newRow("cancel") << global << "8080" << true << "cancel" << QVariantMap()
                                << "初始化完成";
    }
    void settingsOk()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QString, entered);
        QFETCH(bool, pac);
        QFETCH(QString, button);
        QFETCH(QVariantMap, storedAfter);
        QFETCH(QString, tip);

        writeProxySettings(stored);
        const QByteArray before = fileBytes(proxySettingsPath());
        CMainWindow window;
        child<QPushButton>(window, "m_btnSetting")->click();
        child<QLineEdit>(window, "m_lePort")->setText(entered);
        child<QRadioButton>(window, pac ? "m_rbPac" : "m_rbGlobal")->click();
        child<QPushButton>(window, qPrintable("m_btnSetting_" + button))->click();

        QCOMPARE(tipsMessage(window), tip);
        if (storedAfter.isEmpty()) {
            QCOMPARE(fileBytes(proxySettingsPath()), before);
            QCOMPARE(notifications(), 1);
            QCOMPARE(option("ProxyServer"), QStringLiteral("127.0.0.1:1081"));
            QCOMPARE(child<QLineEdit>(window, "m_lePort")->text(), QStringLiteral("1081"));
            QCOMPARE(child<QRadioButton>(window, "m_rbPac")->isChecked(), button == "ok" && pac);
            return;
        }
        const QSettings file(proxySettingsPath(), QSettings::IniFormat);
        QCOMPARE(file.allKeys().size(), storedAfter.size());
        for (auto it = storedAfter.begin(); it != storedAfter.end(); ++it)
            QCOMPARE(file.value(it.key()).toInt(), it.value().toInt());
        QCOMPARE(notifications(), 2);
        const int port = storedAfter.value("ListenPort", 1081).toInt();
        if (pac)
            QVERIFY(option("AutoConfigUrl")
                        .startsWith(QStringLiteral("http://127.0.0.1:%1/pac/").arg(port + 1)));
        else
            QCOMPARE(option("ProxyServer"), QStringLiteral("127.0.0.1:%1").arg(port));
        QVERIFY(child<QPushButton>(window, "m_btnLink")->isChecked());
    }
    void failuresAreSaid_data()
    {
        // A folder where that file should be: it can be neither read nor written;
        // put there at the start, before OK or before a logout.
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("when");
        // How much is left of the journal of a run before that was killed: 2 all, 1 half.
        QTest::addColumn<int>("halves");
        QTest::addColumn<QString>("tip");

        const QString lock = internetSettingsPath() + ".lock";
        QTest::newRow("store unreadable at start")
            << internetSettingsPath() << "start" << 0 << "初始化完成，但无法读取系统代理设置";
        QTest::newRow("store unwritable at start")
            << lock << "start" << 0 << "初始化完成，但无法设置系统代理";
        QTest::newRow("journal unwritable at start")
            << proxyjournal::path() << "start" << 0 << "初始化完成，但无法备份，代理未改";
        QTest::newRow("a run before was killed") << ""
                                                 << "start" << 2 << "初始化完成，已找回代理设置";
        QTest::newRow("a run before left a damaged journal")
            << ""
            << "start" << 1 << "初始化完成，但代理备份已损坏，已另存";
        QTest::newRow("store unwritable on OK")
            << lock << "ok" << 0 << "监听端口：1300,代理模式：全局模式（无法设置系统代理）";
        QTest::newRow("settings unwritable on OK")
            << proxySettingsPath() << "ok" << 0
            << "监听端口：1300,代理模式：全局模式（无法保存到" + proxySettingsPath() +
                   "，仅本次运行有效）";
        QTest::newRow("store unwritable at a logout")
            << lock << "logout" << 0 << "无法恢复原代理设置";
    }
    void failuresAreSaid()
    {
        QFETCH(QString, folder);
        QFETCH(QString, when);
        QFETCH(int, halves);
        QFETCH(QString, tip);

        auto repair = qScopeGuard([folder] {
            if (!folder.isEmpty())
                QDir(folder).removeRecursively();
        });
        if (halves) {
            QString why;
            const proxyjournal::Entries entries{
                {platform::makeInternetOptionsStore()->name(), platform::StoredProxy{kUser, {}}}};
            QVERIFY(proxyjournal::write(proxyjournal::path(), entries, &why));
            const QByteArray journal = fileBytes(proxyjournal::path());
            QVERIFY(writeFile(proxyjournal::path(), journal.left(journal.size() * halves / 2)));
            seedOptions({3, "127.0.0.1:1081", kOwnBypass, QString(), 13});
        } else {
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot"));
            QVERIFY(when != "start" || QDir().mkpath(folder));
        }
        CMainWindow window;
        if (when != "start")
            QVERIFY(QDir().mkpath(folder));
        if (when == "ok") {
            child<QLineEdit>(window, "m_lePort")->setText("1300");
            child<QPushButton>(window, "m_btnSetting_ok")->click();
        } else if (when == "logout") {
            QMetaMethod::fromSignal(&QGuiApplication::commitDataRequest)
                .invoke(qApp, Qt::DirectConnection, QGenericArgument("QSessionManager&", nullptr));
        }
        QCOMPARE(tipsMessage(window), tip);
        // What could be applied holds for this run.
        if (folder == proxySettingsPath())
            QCOMPARE(option("ProxyServer"), QStringLiteral("127.0.0.1:1300"));
    }
    void settingsLocation()
    {
        // Beside the program where the user may write there, or where a portable
        // copy already keeps its file; else in the configuration folder.
        for (const auto &[writable, fileThere, beside] :
             {std::tuple{true, false, true}, {false, false, false}, {false, true, true}}) {
            QTemporaryDir program, config;
            QVERIFY(!fileThere || writeFile(program.filePath("proxysetting.ini"), "[General]\n"));
            QCOMPARE(proxysettings::fileIn(program.path(), writable, config.path()),
                     (beside ? program : config).filePath("proxysetting.ini"));
        }
    }
    void withoutSightOrMouse()
    {
        CMainWindow window;
        window.show();
        // Enter and Space each press the button with the focus; Escape ends nothing.
        auto *run = child<QPushButton>(window, "m_btnRun");
        run->setFocus();
        QTest::keyClick(run, Qt::Key_Return);
        QCOMPARE(tipsMessage(window), QStringLiteral("请选择服务器节点"));
        auto *setting = child<QPushButton>(window, "m_btnSetting");
        setting->setFocus();
        QTest::keyClick(setting, Qt::Key_Space);
        QTest::keyClick(&window, Qt::Key_Escape);
        QVERIFY(window.isVisible() && child<QWidget>(window, "m_settingPage")->isVisible());
    }

    void trayVisibility_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("withTray");
        QTest::addColumn<bool>("visible");

        QTest::newRow("minimised") << int(Qt::WindowMinimized) << true << false;
        QTest::newRow("maximised") << int(Qt::WindowMaximized) << true << false;
        QTest::newRow("minimised and maximised")
            << int(Qt::WindowMinimized | Qt::WindowMaximized) << true << true;
        // Nothing could bring a hidden window back.
        QTest::newRow("minimised, no tray") << int(Qt::WindowMinimized) << false << true;
    }
    void trayVisibility()
    {
        QFETCH(int, state);
        QFETCH(bool, withTray);
        QFETCH(bool, visible);

        setTrayAvailableForTests(withTray);
        auto noTrayOverride = qScopeGuard([] { setTrayAvailableForTests(std::nullopt); });
        CMainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.setWindowState(Qt::WindowStates(state));
        QCOMPARE(window.isVisible(), visible);

        auto *tray = window.findChild<QSystemTrayIcon *>();
        emit tray->activated(QSystemTrayIcon::Trigger);
        QCOMPARE(window.isVisible(), visible);
        emit tray->activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(window.isVisible());
        QCOMPARE(window.windowState(), Qt::WindowNoState);
    }
    void startAtLogin()
    {
        // A first start: not even the configuration folder is there.
        QTemporaryDir config;
        auto back =
            qScopeGuard([old = qgetenv("XDG_CONFIG_HOME")] { qputenv("XDG_CONFIG_HOME", old); });
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.filePath("config")));
        const QString entry = config.filePath("config/autostart/greenlark.desktop");
        // What starts at login: the Run key's command line on Windows.
        const auto command = [&entry] {
            return isWindows() ? QSettings("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\"
                                           "CurrentVersion\\Run",
                                           QSettings::NativeFormat)
                                     .value("greenlark")
                               : QSettings(entry, QSettings::IniFormat).value("Desktop Entry/Exec");
        };
        const QString program = QCoreApplication::applicationFilePath();
        CMainWindow window;
        QMenu *menu = window.findChild<QSystemTrayIcon *>()->contextMenu();
        QAction *action = menuAction(menu, QStringLiteral("开机启动"));
        QVERIFY(action->isCheckable() && !action->isChecked());

        action->trigger();
        QVERIFY(action->isChecked());
        QCOMPARE(command(), isWindows() ? '"' + QDir::toNativeSeparators(program) + '"' : program);
        action->trigger();
        QVERIFY(!action->isChecked());
        QVERIFY(command().isNull());
        if (isWindows())
            return; // what follows is the desktop's: its own settings, a file in the way

        // Switched off in the desktop's own settings: off here too.
        action->trigger();
        const QByteArray written = fileBytes(entry);
        for (const auto &[on, off] :
             {std::pair{"Terminal=false", "Hidden=true"},
              {"X-GNOME-Autostart-enabled=true", "X-GNOME-Autostart-enabled = false"}}) {
            QVERIFY(writeFile(entry, QByteArray(written).replace(on, off)));
            emit menu->aboutToShow();
            QVERIFY(!action->isChecked());
        }
        action->trigger();
        action->trigger();
        QVERIFY(!action->isChecked());
        QVERIFY(!QFileInfo::exists(entry));

        // A failed write is said, and claims nothing.
        QVERIFY(QDir().mkpath(entry));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot be changed"));
        emit menu->aboutToShow();
        action->trigger();
        QVERIFY(!action->isChecked());
        QVERIFY(tipsMessage(window).startsWith(QStringLiteral("无法设置开机启动")));
    }
    void autostartExec_data()
    {
        QTest::addColumn<QString>("folder"); // where the program lies

        QTest::newRow("plain") << "bin";
        QTest::newRow("blanks") << "my programs";
        QTest::newRow("percent") << "100%done";
        QTest::newRow("shell's own") << "a$HOME`b`\\c'd\"e";
        QTest::newRow("everything") << "x %f $y \\z \"q\" 'r'";
    }
    // What a desktop's launcher makes of the entry greenlark writes: it starts the
    // program at that path, whatever the path holds.
    void autostartExec()
    {
        QFETCH(QString, folder);

        QTemporaryDir dir;
        const QString ran = dir.filePath("ran");
        const QString program = dir.filePath(folder) + "/greenlark";
        QVERIFY(QDir().mkpath(dir.filePath(folder)));
        QVERIFY(writeFile(program, "#!/bin/sh\nprintf %s \"$0\" > '" + ran.toUtf8() + "'\n"));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
        const QString entry = dir.filePath("greenlark.desktop");
        QVERIFY(writeFile(entry, "[Desktop Entry]\nType=Application\nName=greenlark\nExec=" +
                                     platform::desktopExecValue(program).toUtf8() + "\n"));
        QCOMPARE(QProcess::execute("desktop-file-validate", {entry}), 0);
        QCOMPARE(QProcess::execute("gio", {"launch", entry}), 0);
        QTRY_COMPARE(QString::fromUtf8(fileBytes(ran)), program);
    }
    void modesThenTeardown()
    {
        seedOptions(kUser);
        QStringList ended;
        QString flagsAtFirstEnd;

        auto *window = new CMainWindow;
        // Global at start: server and bypass replaced, the user's PAC address and
        // discovery flags kept as they were. PAC then keeps global's strings.
        QCOMPARE(option("AutoConfigUrl"), QStringLiteral("http://wpad/wpad.dat"));
        child<QRadioButton>(*window, "m_rbPac")->click();
        child<QPushButton>(*window, "m_btnSetting_ok")->click();
        QCOMPARE(option("Flags"), QStringLiteral("5"));
        QCOMPARE(option("ProxyServer"), QStringLiteral("127.0.0.1:1081"));
        QCOMPARE(option("ProxyBypass"), kOwnBypass);
        QCOMPARE(option("AutoDiscoveryFlags"), QStringLiteral("13"));

        platform::setProcessEnder([&](const QString &name) {
            if (ended.isEmpty())
                flagsAtFirstEnd = option("Flags");
            ended << name;
        });
        delete window;
        ignoreProcessEnds();

        QCOMPARE(ended, QStringList({"v2ray.exe", "background.exe", "greenlark.exe"}));
        // The user's options are back before the first process is ended.
        QCOMPARE(flagsAtFirstEnd, QStringLiteral("9"));
        // Every option as it was at the start, and running programs told.
        QVERIFY(storedOptions() == kUser);
        QCOMPARE(notifications(), 3);
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
