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

// What the user had before greenlark started.
const ProxyOptions kUser{9, "corp-proxy:3128", "<local>", "http://wpad/wpad.dat", 13};

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
        // What a row before made a folder is a file again.
        for (const QString &path : {proxySettingsPath(), internetSettingsPath(),
                                    internetSettingsPath() + ".lock", proxyjournal::path()}) {
            QFile::remove(path);
            QDir(path).removeRecursively();
        }
    }

    void scalesWithTheScreen_data()
    {
        QTest::addColumn<int>("dpi");
        QTest::addColumn<double>("scale");

        // The screen's millimetres are whole at each DPI, so X tells it exactly.
        QTest::newRow("100 %") << 96 << 1.0;
        QTest::newRow("150 %") << 144 << 1.5;
    }
    void scalesWithTheScreen()
    {
        QFETCH(int, dpi);
        QFETCH(double, scale);

        QProcess display, greenlark;
        std::optional<QProcessEnvironment> environment = startDisplay(display, "2880x2880x24", dpi);
        if (!environment)
            QSKIP("Xvfb is not installed");
        QTemporaryDir runtime;
        environment->insert("XDG_RUNTIME_DIR", runtime.path());
        greenlark.setProcessEnvironment(*environment);
        greenlark.start(qEnvironmentVariable("GREENLARK_APPPROBE"), QStringList());
        QTRY_VERIFY_WITH_TIMEOUT(greenlark.canReadLine(), 20000);
        greenlark.write("measure\n");
        QVERIFY(greenlark.waitForFinished(20000));
        const auto measured =
            QRegularExpression("measured (\\d+)x(\\d+)\n").match(greenlark.readAllStandardOutput());
        QVERIFY(measured.hasMatch());
        static QSize atOne;
        const QSize size(measured.captured(1).toInt(), measured.captured(2).toInt());
        atOne = scale == 1.0 ? size : atOne;
        QCOMPARE(size, atOne * scale);
        display.terminate();
        display.waitForFinished();
    }

    // What the window shows, keeps and puts in force from its start on, then
    // after an OK, a cancel or a logout, with a file it needs broken or a
    // journal a killed run left.
    void startAndSettings_data()
    {
        // The settings file's keys, before and after ("" for none; after: unchanged).
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("halves"); // of a killed run's journal: 2 all, 1 half, 0 none
        // A folder in that file's place: it can be neither read nor written. Put
        // there at the start, or before the gesture where there is one.
        QTest::addColumn<QString>("blocked");
        QTest::addColumn<QString>("gesture"); // "ok PORT MODE", "cancel PORT MODE", "logout"
        QTest::addColumn<QString>("tip");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("inForce"); // "MODE PORT", and shown on the page

        const QString done = QStringLiteral("初始化完成");
        const auto start = [](const char *name, const QByteArray &stored, const char *inForce,
                              const QString &tip, const QString &blocked = {}, int halves = 0) {
            QTest::newRow(name) << stored << halves << blocked << QString() << tip << QByteArray()
                                << QString(inForce);
        };
        const auto gesture = [](const char *name, const QString &gesture, const QString &tip,
                                const QByteArray &after, const char *inForce,
                                const QString &blocked = {},
                                const QByteArray &stored = "ProxyMode=3") {
            QTest::newRow(name) << stored << 0 << blocked << gesture << tip << after
                                << QString(inForce);
        };
        start("first start", "", "global 1081", done);
        start("PAC mode", "ListenPort=2080\nProxyMode=2", "pac 2080", done);
        // A port that cannot be listened on would point the system proxy at nothing.
        start("PAC port would overflow", "ListenPort=65535", "global 1081", done);
        start("garbage mode is global", "ListenPort=1090\nProxyMode=pac", "global 1090", done);
        // Qt would read it through a data stream that asks for gigabytes.
        start("a value no one but Qt's data stream writes",
              "ProxyMode=2\nListenPort=@Variant(\\0\\0\\0\\v\\x7f\\xff\\xff\\xff)", "global 1081",
              done);
        const QString store = internetSettingsPath(), lock = store + ".lock";
        start("store unreadable at start", "", "global 1081", done + "，但无法读取系统代理设置",
              store);
        start("store unwritable at start", "", "global 1081", done + "，但无法设置系统代理", lock);
        start("journal unwritable at start", "", "global 1081", done + "，但无法备份，代理未改",
              proxyjournal::path());
        start("a run before was killed", "", "global 1081", done + "，已找回代理设置", {}, 2);
        start("a run before left a damaged journal", "", "global 1081",
              done + "，但代理备份已损坏，已另存", {}, 1);

        // With no mode stored, the page's mode always differs from the default 1.
        const QString said = QStringLiteral("监听端口：%1,代理模式：%2");
        gesture("first OK", "ok 1081 global", said.arg(1081).arg("全局模式"), "ProxyMode=3",
                "global 1081", {}, "");
        gesture("nothing changed", "ok 1081 global", done, "", "global 1081");
        gesture("lowest port", "ok 1 pac", said.arg(1).arg("PAC模式"), "ListenPort=1\nProxyMode=2",
                "pac 1");
        gesture("highest port", "ok 65534 global", said.arg(65534).arg("全局模式"),
                "ListenPort=65534\nProxyMode=3", "global 65534");
        gesture("leading zeros", "ok 01082 global", said.arg(1082).arg("全局模式"),
                "ListenPort=1082\nProxyMode=3", "global 1082");
        for (const QString refused : {"", "0", "65535", "999999"}) {
            gesture(qPrintable("port \"" + refused + "\" refused"), "ok " + refused + " pac",
                    "监听端口无效：" + refused, "", "global 1081");
        }
        // Cancel puts the page back as it was stored.
        gesture("cancel", "cancel 8080 pac", done, "", "global 1081");
        gesture("store unwritable on OK", "ok 1300 global",
                said.arg(1300).arg("全局模式（无法设置系统代理）"), "ListenPort=1300\nProxyMode=3",
                "global 1300", lock);
        gesture(
            "settings unwritable on OK", "ok 1300 global",
            said.arg(1300).arg("全局模式（无法保存到" + proxySettingsPath() + "，仅本次运行有效）"),
            "", "global 1300", proxySettingsPath(), "");
        gesture("store unwritable at a logout", "logout", "无法恢复原代理设置", "", "global 1081",
                lock);
    }
    void startAndSettings()
    {
        QFETCH(QByteArray, stored);
        QFETCH(int, halves);
        QFETCH(QString, blocked);
        QFETCH(QString, gesture);
        QFETCH(QString, tip);
        QFETCH(QByteArray, after);
        QFETCH(QString, inForce);
        const QStringList act = gesture.split(' '); // what, the port entered, the mode picked
        const bool pac = inForce.startsWith("pac");
        const int port = inForce.section(' ', 1).toInt();

        QVERIFY(stored.isEmpty() || writeFile(proxySettingsPath(), "[General]\n" + stored + '\n'));
        const QByteArray before = fileBytes(proxySettingsPath());
        if (halves) {
            QString why;
            const proxyjournal::Entries entries{
                {platform::makeInternetOptionsStore()->name(), platform::StoredProxy{kUser, {}}}};
            QVERIFY(proxyjournal::write(proxyjournal::path(), entries, &why));
            const QByteArray journal = fileBytes(proxyjournal::path());
            QVERIFY(writeFile(proxyjournal::path(), journal.left(journal.size() * halves / 2)));
            seedOptions({3, "127.0.0.1:1081", kOwnBypass, QString(), 13});
        }
        if (!blocked.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot"));
        QVERIFY(blocked.isEmpty() || !gesture.isEmpty() || QDir().mkpath(blocked));
        CMainWindow window;
        QVERIFY(blocked.isEmpty() || gesture.isEmpty() || QDir().mkpath(blocked));
        auto *field = child<QLineEdit>(window, "m_lePort");
        if (act[0] == "ok" || act[0] == "cancel") {
            child<QPushButton>(window, "m_btnSetting")->click();
            field->setText(act[1]);
            child<QRadioButton>(window, act[2] == "pac" ? "m_rbPac" : "m_rbGlobal")->click();
            child<QPushButton>(window, qPrintable("m_btnSetting_" + act[0]))->click();
        } else if (act[0] == "logout") {
            QMetaMethod::fromSignal(&QGuiApplication::commitDataRequest)
                .invoke(qApp, Qt::DirectConnection, QGenericArgument("QSessionManager&", nullptr));
        }

        QCOMPARE(tipsMessage(window), tip);
        // An OK that was taken leaves the entry as typed.
        QCOMPARE(field->text(),
                 act[0] == "ok" && port == act[1].toInt() ? act[1] : QString::number(port));
        // The mode shown is the one in force, and it alone.
        QVERIFY(act[0] == "ok" || (child<QRadioButton>(window, "m_rbPac")->isChecked() == pac &&
                                   child<QRadioButton>(window, "m_rbGlobal")->isChecked() != pac));
        // Loading writes nothing.
        QCOMPARE(fileBytes(proxySettingsPath()),
                 after.isEmpty() ? before : "[General]\n" + after + '\n');
        // What could be applied holds for this run.
        if (blocked.isEmpty() || blocked == proxySettingsPath()) {
            const ProxyOptions inForce = storedOptions();
            QCOMPARE(inForce.flags, DWORD(pac ? 5 : 3));
            const QRegularExpressionMatch url = kPacUrl.match(inForce.autoConfigUrl);
            if (pac) {
                QVERIFY2(url.hasMatch(), qPrintable(inForce.autoConfigUrl));
                QCOMPARE(url.captured(1).toInt(), port + 1);
                const QDateTime stamp = QDateTime::fromString(url.captured(2), "yyyyMMddhhmmss");
                QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 60);
            } else { // its bypass list is modesThenTeardown's
                QCOMPARE(inForce.proxyServer, QStringLiteral("127.0.0.1:%1").arg(port));
            }
        }
        // The message is put in after the time: a percent sequence in it stays.
        window.showTips(QStringLiteral("100%1 done %2"));
        QCOMPARE(tipsMessage(window), QStringLiteral("100%1 done %2"));
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
    void trayVisibility_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("withTray");
        QTest::addColumn<bool>("visible");

        QTest::newRow("minimised") << int(Qt::WindowMinimized) << true << false;
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
        // A failed write is said, and claims nothing.
        QVERIFY(QFile::remove(entry) && QDir().mkpath(entry));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot be changed"));
        emit menu->aboutToShow();
        action->trigger();
        QVERIFY(!action->isChecked());
        QVERIFY(tipsMessage(window).startsWith(QStringLiteral("无法设置开机启动")));
    }
    // What a desktop's launcher makes of the entry greenlark writes: it starts the
    // program at that path, whatever the path holds: percent signs, the shell's
    // own characters, quotes and backslashes.
    void autostartExec()
    {
        const QString folder = "100%done x %f $y a$HOME`b`\\c'd\"e \"q\" 'r'";
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
        DWORD flagsAtFirstEnd = 0;

        auto *window = new CMainWindow;
        // Global at start: server and bypass replaced, the user's PAC address and
        // discovery flags kept as they were. PAC then keeps global's strings.
        QCOMPARE(storedOptions().autoConfigUrl, QStringLiteral("http://wpad/wpad.dat"));
        child<QRadioButton>(*window, "m_rbPac")->click();
        child<QPushButton>(*window, "m_btnSetting_ok")->click();
        const ProxyOptions pac = storedOptions();
        QVERIFY(pac == ProxyOptions({5, "127.0.0.1:1081", kOwnBypass, pac.autoConfigUrl, 13}));

        platform::setProcessEnder([&](const QString &name) {
            if (ended.isEmpty())
                flagsAtFirstEnd = storedOptions().flags;
            ended << name;
        });
        delete window;
        ignoreProcessEnds();

        QCOMPARE(ended, QStringList({"v2ray.exe", "background.exe", "greenlark.exe"}));
        // The user's options are back before the first process is ended.
        QCOMPARE(flagsAtFirstEnd, DWORD(9));
        // Every option as it was at the start, and running programs told.
        QVERIFY(storedOptions() == kUser);
        QCOMPARE(notifications(), 3);
        QCOMPARE(internetSetting("Notifications/Refresh").toInt(), 3);
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
