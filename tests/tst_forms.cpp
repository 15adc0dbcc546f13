// The three forms as a user and the controller meet them: the names the controller
// looks widgets up by, what they say, how the groups number their buttons, and how
// the login window moves between its tabs.
#include "forms/cloginwindow.h"
#include "forms/cnodewin.h"
#include "ui_cloginwindow.h"
#include "ui_cmainwindow.h"
#include "ui_cnodewin.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableWidget>
#include <QtTest>

#include <memory>

namespace {

// Each form on a plain widget: the main window class belongs to the controller and
// brings the link and the system proxy with it, and a name given beforehand must survive.
std::unique_ptr<QWidget> makeForm(const QString &form, const QString &name = QString())
{
    auto window = std::make_unique<QWidget>();
    window->setObjectName(name);
    if (form == "main")
        Ui::CMainWindowClass().setupUi(window.get());
    else if (form == "login")
        Ui::CLoginWindow().setupUi(window.get());
    else
        Ui::CNodeWin().setupUi(window.get());
    return window;
}

template <typename T> T *child(QObject *root, const QString &name)
{
    T *found = root->findChild<T *>(name);
    if (!found)
        qWarning("no %s named %s", T::staticMetaObject.className(), qPrintable(name));
    return found;
}

// Rows are named "<form> <object> [<property>]", and the tests read them back.
QStringList rowName()
{
    return QString(QTest::currentDataTag()).split(' ');
}

} // namespace

class DerivedStack : public QStackedWidget
{
    Q_OBJECT
public:
    using QStackedWidget::QStackedWidget;
};

class TestForms : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { Q_INIT_RESOURCE(greenlark); } // the icon sits in a static library

    void namedObjects_data();
    void namedObjects();
    void windowNameKeptWhenSet();
    void buttonGroupIds_data();
    void buttonGroupIds();
    void texts_data();
    void texts();
    void stretches_data();
    void stretches();
    void mainFormInitialState();
    void loginClicks_data();
    void loginClicks();
    void passwordsMasked();
    void nodeWindow();
};

void TestForms::namedObjects_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QStringList>("names");

    const char *const rows[][3] = {
        {"main", "QWidget",
         "m_wdMenu m_linkPage m_nodePage m_settingPage widget widget_2 widget_3 widget_4 "
         "m_wdStatus"},
        {"main", "QPushButton",
         "m_btnSetting m_btnLink m_btnNode m_btnRun m_btnNode_ok m_btnNode_flush "
         "m_btnSetting_ok m_btnSetting_cancel"},
        {"main", "QLabel", "m_lbNodeName label m_lbTips m_lbBackground"},
        {"main", "QStackedWidget", "m_swFun"},
        {"main", "QTableWidget", "m_twNodeList"},
        {"main", "QLineEdit", "m_lePort"},
        {"main", "QRadioButton", "m_rbPac m_rbGlobal"},
        {"main", "QButtonGroup", "m_bgMenu m_bgNode m_bgSetting"},
        {"login", "QWidget", "widget widget_2 m_loginPage m_registerPage"},
        {"login", "QPushButton",
         "m_btLoginPage m_btRegisterPage pushButton_3 m_btLogin pushButton_5 m_btRegister "
         "pushButton_7"},
        {"login", "QLabel", "label_3 m_lbLogin m_lbRegister"},
        {"login", "QStackedWidget", "m_stackedWidget"},
        {"login", "QLineEdit", "lineEdit lineEdit_2 lineEdit_4 lineEdit_3 lineEdit_6 lineEdit_5"},
        {"login", "QButtonGroup", "m_btLoginGroup"},
        {"node", "QGroupBox", "groupBox"},
        {"node", "QWidget", "layoutWidget"},
        {"node", "QLineEdit",
         "lineEdit lineEdit_2 lineEdit_3 lineEdit_4 lineEdit_5 lineEdit_6 lineEdit_7"},
        {"node", "QLabel", "label label_2 label_3 label_4 label_5 label_6 label_7"},
    };
    for (const auto &row : rows)
        QTest::addRow("%s %s", row[0], row[1]) << row[1] << QString(row[2]).split(' ');
}

void TestForms::namedObjects()
{
    QFETCH(QString, className);
    QFETCH(QStringList, names);

    const auto window = makeForm(rowName()[0]);
    for (const QString &name : names) {
        const QList<QObject *> named = window->findChildren<QObject *>(name);
        QVERIFY2(named.size() == 1, qPrintable(name));
        QCOMPARE(QString(named.first()->metaObject()->className()), className);
    }
}

void TestForms::windowNameKeptWhenSet()
{
    const char *const forms[][2] = {
        {"main", "CMainWindowClass"}, {"login", "CLoginWindow"}, {"node", "CNodeWin"}};
    for (const auto &form : forms) {
        QCOMPARE(makeForm(form[0])->objectName(), QString(form[1]));
        QCOMPARE(makeForm(form[0], "given")->objectName(), QString("given"));
    }
}

void TestForms::buttonGroupIds_data()
{
    QTest::addColumn<QStringList>("buttons");

    // Callers look buttons up by these ids, which Qt hands out from -2 downwards.
    QTest::newRow("main m_bgMenu") << QStringList{"m_btnSetting", "m_btnLink", "m_btnNode"};
    QTest::newRow("main m_bgNode") << QStringList{"m_btnNode_ok", "m_btnNode_flush"};
    QTest::newRow("main m_bgSetting") << QStringList{"m_btnSetting_ok", "m_btnSetting_cancel"};
    QTest::newRow("login m_btLoginGroup") << QStringList{"m_btLoginPage", "m_btRegisterPage"};
}

void TestForms::buttonGroupIds()
{
    QFETCH(QStringList, buttons);

    const auto window = makeForm(rowName()[0]);
    auto *group = child<QButtonGroup>(window.get(), rowName()[1]);
    QVERIFY(group);
    QVERIFY(group->exclusive());
    QCOMPARE(group->buttons().size(), buttons.size());
    for (int i = 0; i < buttons.size(); ++i) {
        QAbstractButton *button = group->button(-2 - i);
        QVERIFY2(button, qPrintable(buttons[i]));
        QCOMPARE(button->objectName(), buttons[i]);
    }
}

void TestForms::texts_data()
{
    QTest::addColumn<QString>("expected");

    // The menu texts are checked with the menu's order in mainFormInitialState.
    QTest::newRow("main window windowTitle") << "greenlark(ver:01.00.00)";
    QTest::newRow("main m_btnRun text") << "启动";
    QTest::newRow("main m_lbNodeName text") << "[请选择节点]";
    QTest::newRow("main label text") << "本地监听端口："; // full-width colon
    QTest::newRow("main m_rbPac text") << "PAC模式";
    QTest::newRow("main m_lbTips text") << "提示:"; // ASCII colon
    QTest::newRow("main m_lbBackground text") << "";
    QTest::newRow("login window windowTitle") << "CLoginWindow";
    QTest::newRow("login m_btLoginPage text") << "登录";
    QTest::newRow("login lineEdit_2 placeholderText") << "密码";
    QTest::newRow("login m_btLogin text") << "登录";
    QTest::newRow("login pushButton_7 text") << "注册即同意《用户协议》";
    QTest::newRow("node window windowTitle") << "NodeInfo";
    QTest::newRow("node groupBox title") << "节点";
    QTest::newRow("node label_2 text") << "额外ID(alterId )";
}

void TestForms::texts()
{
    QFETCH(QString, expected);

    const QStringList row = rowName();
    const auto window = makeForm(row[0]);
    QObject *object = row[1] == "window" ? window.get() : child<QObject>(window.get(), row[1]);
    QVERIFY(object);
    const QVariant value = object->property(row[2].toLatin1().constData());
    QVERIFY(value.isValid());
    QCOMPARE(value.toString(), expected);
}

void TestForms::stretches_data()
{
    QTest::addColumn<QVector<int>>("stretches");

    // Spacers count as items, so a lost spacer shows as a shorter list.
    QTest::newRow("main verticalLayout") << QVector<int>{1, 9, 1};
    QTest::newRow("main verticalLayout_5") << QVector<int>{4, 2, 1, 1, 4};
    QTest::newRow("main verticalLayout_3") << QVector<int>{10, 2};
    QTest::newRow("main verticalLayout_4") << QVector<int>{10, 2};
    QTest::newRow("main verticalLayout_6") << QVector<int>{3, 1, 1, 1, 3};
    QTest::newRow("main horizontalLayout_9") << QVector<int>{100, 4, 2};
    QTest::newRow("login verticalLayout") << QVector<int>{3, 1, 6};
    QTest::newRow("login horizontalLayout_14") << QVector<int>{1, 10, 1, 10, 1};
    QTest::newRow("login verticalLayout_2") << QVector<int>{3, 2, 1, 2, 1, 1, 3, 2, 6, 1, 1};
    QTest::newRow("login verticalLayout_3") << QVector<int>{1, 2, 1, 2, 1, 2, 1, 2, 3, 2, 3, 1, 1};
}

void TestForms::stretches()
{
    QFETCH(QVector<int>, stretches);

    const auto window = makeForm(rowName()[0]);
    auto *box = child<QBoxLayout>(window.get(), rowName()[1]);
    QVERIFY(box);
    QVector<int> actual;
    for (int i = 0; i < box->count(); ++i)
        actual << box->stretch(i);
    QCOMPARE(actual, stretches);
}

void TestForms::mainFormInitialState()
{
    QWidget window;
    Ui::CMainWindowClass ui;
    ui.setupUi(&window);
    QCOMPARE(ui.m_swFun->count(), 3);
    QCOMPARE(ui.m_swFun->indexOf(ui.m_nodePage), 1);
    QCOMPARE(ui.m_swFun->indexOf(ui.m_settingPage), 2);
    QCOMPARE(ui.m_swFun->currentWidget(), ui.m_linkPage);
    for (QAbstractButton *button : window.findChildren<QAbstractButton *>())
        QVERIFY2(!button->isChecked(), qPrintable(button->objectName()));
    for (QAbstractButton *button : ui.m_bgMenu->buttons())
        QVERIFY(button->isCheckable());
    QCOMPARE(ui.m_twNodeList->rowCount(), 0);
    QCOMPARE(ui.m_twNodeList->columnCount(), 0);
    QVERIFY(ui.m_twNodeList->horizontalHeader()->isHidden());
    QCOMPARE(ui.m_lbBackground->styleSheet(), QString("background-color: rgb(255, 0, 0);"));
    QVERIFY(!window.windowIcon().isNull());

    // A stack of a derived class, laid over the menu, that an exact-class rule must pass by.
    auto *derived = new DerivedStack(&window);
    derived->setGeometry(0, 0, 60, 60);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    derived->raise();
    // The corner lies in the page's margin, where nothing but the stack paints.
    const QColor grey(230, 230, 230);
    QCOMPARE(ui.m_swFun->grab().toImage().pixelColor(3, 3), grey);
    QVERIFY(derived->grab().toImage().pixelColor(30, 30) != grey);

    QVERIFY(ui.m_lbBackground->height() <= 20);
    // The setting button is the leftmost menu entry, whatever its group id suggests.
    QMap<int, QString> menu;
    for (const QAbstractButton *button : ui.m_bgMenu->buttons())
        menu.insert(button->x(), button->text());
    QCOMPARE(QStringList(menu.values()), QStringList({"设置", "主页", "节点"}));
}

void TestForms::loginClicks_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QString>("page");
    QTest::addColumn<bool>("submitted");

    const QString login = "m_btLoginPage", signUp = "m_btRegisterPage";
    const QString loginPage = "m_loginPage", signUpPage = "m_registerPage";
    // The form alone leaves the sign-up page current.
    QTest::newRow("as opened") << QStringList() << loginPage << false;
    QTest::newRow("to sign-up") << QStringList{signUp} << signUpPage << false;
    QTest::newRow("and back") << QStringList{signUp, login} << loginPage << false;
    QTest::newRow("login again") << QStringList{login} << loginPage << false;
    QTest::newRow("sign-up again") << QStringList{signUp, signUp} << signUpPage << false;
    // Submitting reads none of the fields, so empty ones go through as well; hiding
    // keeps the page, so the window reopens where the user left it.
    QTest::newRow("login") << QStringList{"m_btLogin"} << loginPage << true;
    QTest::newRow("sign-up") << QStringList{signUp, "m_btRegister"} << signUpPage << true;
    QTest::newRow("forgotten password") << QStringList{"pushButton_3"} << loginPage << false;
    QTest::newRow("privacy policy") << QStringList{"pushButton_5"} << loginPage << false;
    QTest::newRow("user agreement") << QStringList{signUp, "pushButton_7"} << signUpPage << false;
}

void TestForms::loginClicks()
{
    QFETCH(QStringList, clicks);
    QFETCH(QString, page);
    QFETCH(bool, submitted);

    CLoginWindow window;
    QSignalSpy reported(&window, &CLoginWindow::signalShowMainWindow);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (const QString &button : clicks)
        QTest::mouseClick(child<QAbstractButton>(&window, button), Qt::LeftButton);

    const bool onLogin = page == "m_loginPage";
    const QString active = "background-color: rgb(0, 85, 255);";
    const QString inactive = "background-color: rgb(170, 170, 255);";
    QCOMPARE(child<QStackedWidget>(&window, "m_stackedWidget")->currentWidget()->objectName(),
             page);
    QCOMPARE(child<QAbstractButton>(&window, "m_btLoginPage")->isChecked(), onLogin);
    QCOMPARE(child<QAbstractButton>(&window, "m_btRegisterPage")->isChecked(), !onLogin);
    QCOMPARE(child<QLabel>(&window, "m_lbLogin")->styleSheet(), onLogin ? active : inactive);
    QCOMPARE(child<QLabel>(&window, "m_lbRegister")->styleSheet(), onLogin ? inactive : active);
    QCOMPARE(window.isVisible(), !submitted);
    QCOMPARE(reported.count(), submitted ? 1 : 0);
    if (submitted)
        QCOMPARE(reported.first().first(), QVariant(true));
}

void TestForms::passwordsMasked()
{
    CLoginWindow window;
    const QStringList passwords = {"lineEdit_2", "lineEdit_3", "lineEdit_6"};
    const QList<QLineEdit *> fields = window.findChildren<QLineEdit *>();
    QCOMPARE(fields.size(), 6);
    for (QLineEdit *field : fields) {
        QTest::keyClicks(field, "hunter2");
        QCOMPARE(field->text(), QString("hunter2"));
        QVERIFY2((field->displayText() != field->text()) == passwords.contains(field->objectName()),
                 qPrintable(field->objectName()));
    }
}

void TestForms::nodeWindow()
{
    CNodeWin window;
    QVERIFY(!window.isVisible());
    QVERIFY(window.findChildren<QAbstractButton *>().isEmpty());

    const QList<QLineEdit *> edits = window.findChildren<QLineEdit *>();
    QCOMPARE(edits.size(), 7);
    for (QLineEdit *edit : edits) {
        // The user id is the only long value, so only its field is wide.
        QCOMPARE(edit->width(), edit->objectName() == "lineEdit_3" ? 231 : 131);
        QVERIFY(edit->text().isEmpty());
        QTest::keyClicks(edit, "vmess");
        QCOMPARE(edit->text(), QString("vmess"));
    }
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
