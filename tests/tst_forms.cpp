// The three forms as a user meets them: what each widget is called and where it
// sits, what it says, how the groups number their buttons, and how the login
// window moves between its tabs.
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

#include <algorithm>
#include <memory>

namespace {

const QColor activeBar(0, 85, 255);
const QColor inactiveBar(170, 170, 255);

// The main window's form on a stand-in window: the window class itself
// belongs to the controller and brings the link and the system proxy with it.
std::unique_ptr<QWidget> makeForm(const QString &form)
{
    if (form == "login")
        return std::make_unique<CLoginWindow>();
    if (form == "node")
        return std::make_unique<CNodeWin>();
    auto window = std::make_unique<QWidget>();
    Ui::CMainWindowClass().setupUi(window.get());
    return window;
}

template <typename T> T *child(QObject *root, const QString &name)
{
    T *found = root->findChild<T *>(name);
    if (!found)
        qWarning("no %s named %s", T::staticMetaObject.className(), qPrintable(name));
    return found;
}

// What the user sees of a widget at a point (its middle by default), style
// sheets included.
QColor colourAt(QWidget *widget, QPoint point = QPoint(-1, -1))
{
    const QImage image = widget->grab().toImage();
    if (point == QPoint(-1, -1))
        point = QPoint(image.width() / 2, image.height() / 2);
    return image.pixelColor(point);
}

bool shown(QWidget *window)
{
    window->show();
    return QTest::qWaitForWindowExposed(window);
}

} // namespace

// Carries its own class name, so an exact-class selector must pass it by.
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
    void initTestCase();

    void widgetTree_data();
    void widgetTree();
    void windowNameKeptWhenSet_data();
    void windowNameKeptWhenSet();
    void buttonGroupIds_data();
    void buttonGroupIds();
    void texts_data();
    void texts();
    void sizes_data();
    void sizes();
    void layouts_data();
    void layouts();

    void mainFormInitialState();
    void mainFormStyles();

    void loginTabs_data();
    void loginTabs();
    void loginButtons_data();
    void loginButtons();
    void passwordsMasked_data();
    void passwordsMasked();

    void nodeFields_data();
    void nodeFields();
    void nodeWindowOffersNoButtons();
};

void TestForms::initTestCase()
{
    // The icon lives in a static library; nothing else here pulls it in.
    Q_INIT_RESOURCE(greenlark);
}

void TestForms::widgetTree_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");

    const struct
    {
        const char *form, *name, *className, *parent;
    } rows[] = {
        {"main", "m_wdMenu", "QWidget", "CMainWindowClass"},
        {"main", "m_btnSetting", "QPushButton", "m_wdMenu"},
        {"main", "m_btnLink", "QPushButton", "m_wdMenu"},
        {"main", "m_btnNode", "QPushButton", "m_wdMenu"},
        {"main", "m_swFun", "QStackedWidget", "CMainWindowClass"},
        {"main", "m_linkPage", "QWidget", "m_swFun"},
        {"main", "m_btnRun", "QPushButton", "m_linkPage"},
        {"main", "m_lbNodeName", "QLabel", "m_linkPage"},
        {"main", "m_nodePage", "QWidget", "m_swFun"},
        {"main", "widget_2", "QWidget", "m_nodePage"},
        {"main", "m_twNodeList", "QTableWidget", "widget_2"},
        {"main", "widget", "QWidget", "m_nodePage"},
        {"main", "m_btnNode_ok", "QPushButton", "widget"},
        {"main", "m_btnNode_flush", "QPushButton", "widget"},
        {"main", "m_settingPage", "QWidget", "m_swFun"},
        {"main", "widget_3", "QWidget", "m_settingPage"},
        {"main", "label", "QLabel", "widget_3"},
        {"main", "m_lePort", "QLineEdit", "widget_3"},
        {"main", "m_rbPac", "QRadioButton", "widget_3"},
        {"main", "m_rbGlobal", "QRadioButton", "widget_3"},
        {"main", "widget_4", "QWidget", "m_settingPage"},
        {"main", "m_btnSetting_ok", "QPushButton", "widget_4"},
        {"main", "m_btnSetting_cancel", "QPushButton", "widget_4"},
        {"main", "m_wdStatus", "QWidget", "CMainWindowClass"},
        {"main", "m_lbTips", "QLabel", "m_wdStatus"},
        {"main", "m_lbBackground", "QLabel", "m_wdStatus"},
        {"main", "m_bgMenu", "QButtonGroup", "CMainWindowClass"},
        {"main", "m_bgNode", "QButtonGroup", "CMainWindowClass"},
        {"main", "m_bgSetting", "QButtonGroup", "CMainWindowClass"},
        {"main", "verticalLayout", "QVBoxLayout", "CMainWindowClass"},
        {"main", "horizontalLayout_5", "QHBoxLayout", "verticalLayout_5"},
        {"main", "horizontalLayout_9", "QHBoxLayout", "m_wdStatus"},
        {"login", "widget", "QWidget", "CLoginWindow"},
        {"login", "label_3", "QLabel", "widget"},
        {"login", "widget_2", "QWidget", "CLoginWindow"},
        {"login", "m_btLoginPage", "QPushButton", "widget_2"},
        {"login", "m_btRegisterPage", "QPushButton", "widget_2"},
        {"login", "m_lbLogin", "QLabel", "widget_2"},
        {"login", "m_lbRegister", "QLabel", "widget_2"},
        {"login", "m_stackedWidget", "QStackedWidget", "CLoginWindow"},
        {"login", "m_loginPage", "QWidget", "m_stackedWidget"},
        {"login", "lineEdit", "QLineEdit", "m_loginPage"},
        {"login", "lineEdit_2", "QLineEdit", "m_loginPage"},
        {"login", "pushButton_3", "QPushButton", "m_loginPage"},
        {"login", "m_btLogin", "QPushButton", "m_loginPage"},
        {"login", "pushButton_5", "QPushButton", "m_loginPage"},
        {"login", "m_registerPage", "QWidget", "m_stackedWidget"},
        {"login", "lineEdit_4", "QLineEdit", "m_registerPage"},
        {"login", "lineEdit_3", "QLineEdit", "m_registerPage"},
        {"login", "lineEdit_6", "QLineEdit", "m_registerPage"},
        {"login", "lineEdit_5", "QLineEdit", "m_registerPage"},
        {"login", "m_btRegister", "QPushButton", "m_registerPage"},
        {"login", "pushButton_7", "QPushButton", "m_registerPage"},
        {"login", "m_btLoginGroup", "QButtonGroup", "CLoginWindow"},
        {"login", "horizontalLayout_14", "QHBoxLayout", "verticalLayout_6"},
        {"node", "groupBox", "QGroupBox", "CNodeWin"},
        {"node", "layoutWidget", "QWidget", "groupBox"},
        {"node", "verticalLayout_2", "QVBoxLayout", "layoutWidget"},
        {"node", "lineEdit_7", "QLineEdit", "groupBox"},
        {"node", "label_5", "QLabel", "layoutWidget"},
    };
    for (const auto &row : rows)
        QTest::addRow("%s %s", row.form, row.name)
            << row.form << row.name << row.className << row.parent;
}

void TestForms::widgetTree()
{
    QFETCH(QString, form);
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);

    const auto window = makeForm(form);
    const QList<QObject *> named = window->findChildren<QObject *>(name);
    QCOMPARE(named.size(), 1);
    QCOMPARE(QString(named.first()->metaObject()->className()), className);
    QVERIFY(named.first()->parent());
    QCOMPARE(named.first()->parent()->objectName(), parentName);
}

void TestForms::windowNameKeptWhenSet_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("expected");

    QTest::newRow("main, nameless") << "main"
                                    << ""
                                    << "CMainWindowClass";
    QTest::newRow("main, named") << "main"
                                 << "shell"
                                 << "shell";
    QTest::newRow("login, nameless") << "login"
                                     << ""
                                     << "CLoginWindow";
    QTest::newRow("login, named") << "login"
                                  << "account"
                                  << "account";
    QTest::newRow("node, nameless") << "node"
                                    << ""
                                    << "CNodeWin";
    QTest::newRow("node, named") << "node"
                                 << "details"
                                 << "details";
}

void TestForms::windowNameKeptWhenSet()
{
    QFETCH(QString, form);
    QFETCH(QString, given);
    QFETCH(QString, expected);

    QWidget window;
    window.setObjectName(given);
    if (form == "main")
        Ui::CMainWindowClass().setupUi(&window);
    else if (form == "login")
        Ui::CLoginWindow().setupUi(&window);
    else
        Ui::CNodeWin().setupUi(&window);
    QCOMPARE(window.objectName(), expected);
}

void TestForms::buttonGroupIds_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QStringList>("buttons");

    // Callers look buttons up by these ids, which Qt hands out from -2 downwards.
    QTest::newRow("menu") << "main"
                          << "m_bgMenu" << QStringList{"m_btnSetting", "m_btnLink", "m_btnNode"};
    QTest::newRow("node page") << "main"
                               << "m_bgNode" << QStringList{"m_btnNode_ok", "m_btnNode_flush"};
    QTest::newRow("setting page") << "main"
                                  << "m_bgSetting"
                                  << QStringList{"m_btnSetting_ok", "m_btnSetting_cancel"};
    QTest::newRow("login tabs") << "login"
                                << "m_btLoginGroup"
                                << QStringList{"m_btLoginPage", "m_btRegisterPage"};
}

void TestForms::buttonGroupIds()
{
    QFETCH(QString, form);
    QFETCH(QString, group);
    QFETCH(QStringList, buttons);

    const auto window = makeForm(form);
    QButtonGroup *buttonGroup = child<QButtonGroup>(window.get(), group);
    QVERIFY(buttonGroup);
    QVERIFY(buttonGroup->exclusive());
    QCOMPARE(buttonGroup->buttons().size(), buttons.size());
    for (int i = 0; i < buttons.size(); ++i) {
        QAbstractButton *button = buttonGroup->button(-2 - i);
        QVERIFY2(button, qPrintable(buttons[i]));
        QCOMPARE(button->objectName(), buttons[i]);
    }
}

void TestForms::texts_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QString>("expected");

    const struct
    {
        const char *form, *name, *property, *text;
    } rows[] = {
        {"main", "", "windowTitle", "greenlark(ver:01.00.00)"},
        {"main", "m_btnSetting", "text", "设置"},
        {"main", "m_btnLink", "text", "主页"},
        {"main", "m_btnNode", "text", "节点"},
        {"main", "m_btnRun", "text", "启动"},
        {"main", "m_lbNodeName", "text", "[请选择节点]"},
        {"main", "m_btnNode_ok", "text", "确定"},
        {"main", "m_btnNode_flush", "text", "刷新"},
        {"main", "label", "text", "本地监听端口："},
        {"main", "m_rbPac", "text", "PAC模式"},
        {"main", "m_rbGlobal", "text", "全局模式"},
        {"main", "m_btnSetting_ok", "text", "确定"},
        {"main", "m_btnSetting_cancel", "text", "取消"},
        {"main", "m_lbTips", "text", "提示:"},
        {"main", "m_lbBackground", "text", ""},
        {"main", "m_lePort", "text", ""},
        {"login", "", "windowTitle", "CLoginWindow"},
        {"login", "label_3", "text", "Hello World!"},
        {"login", "m_btLoginPage", "text", "登录"},
        {"login", "m_btRegisterPage", "text", "注册"},
        {"login", "m_lbLogin", "text", ""},
        {"login", "m_lbRegister", "text", ""},
        {"login", "lineEdit", "placeholderText", "用户名"},
        {"login", "lineEdit_2", "placeholderText", "密码"},
        {"login", "pushButton_3", "text", "忘记密码"},
        {"login", "m_btLogin", "text", "登录"},
        {"login", "pushButton_5", "text", "登录即同意《隐私政策》"},
        {"login", "lineEdit_4", "placeholderText", "用户名"},
        {"login", "lineEdit_3", "placeholderText", "密码"},
        {"login", "lineEdit_6", "placeholderText", "重新输入密码"},
        {"login", "lineEdit_5", "placeholderText", "邮箱"},
        {"login", "m_btRegister", "text", "注册"},
        {"login", "pushButton_7", "text", "注册即同意《用户协议》"},
        {"node", "", "windowTitle", "NodeInfo"},
        {"node", "groupBox", "title", "节点"},
    };
    for (const auto &row : rows)
        QTest::addRow("%s %s %s", row.form, *row.name ? row.name : "window", row.property)
            << row.form << row.name << QByteArray(row.property) << QString::fromUtf8(row.text);
}

void TestForms::texts()
{
    QFETCH(QString, form);
    QFETCH(QString, name);
    QFETCH(QByteArray, property);
    QFETCH(QString, expected);

    const auto window = makeForm(form);
    QObject *object = name.isEmpty() ? window.get() : child<QObject>(window.get(), name);
    QVERIFY(object);
    const QVariant value = object->property(property.constData());
    QVERIFY(value.isValid());
    QCOMPARE(value.toString(), expected);
}

void TestForms::sizes_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("maximumHeight");

    const int unbounded = QWIDGETSIZE_MAX;
    QTest::newRow("main window") << "main"
                                 << "" << QSize(412, 736) << unbounded;
    QTest::newRow("login window") << "login"
                                  << "" << QSize(478, 739) << unbounded;
    QTest::newRow("node window") << "node"
                                 << "" << QSize(388, 369) << unbounded;
    // A size of zero skips the size and checks the height bound alone.
    for (const char *name : {"m_btnSetting", "m_btnLink", "m_btnNode", "m_btnNode_ok",
                             "m_btnNode_flush", "m_btnSetting_ok", "m_btnSetting_cancel"})
        QTest::addRow("main %s", name) << "main" << name << QSize() << 40;
    QTest::newRow("main m_btnRun") << "main"
                                   << "m_btnRun" << QSize() << unbounded;
    QTest::newRow("main status indicator") << "main"
                                           << "m_lbBackground" << QSize() << 20;
    QTest::newRow("login bar") << "login"
                               << "m_lbLogin" << QSize() << 2;
    QTest::newRow("sign-up bar") << "login"
                                 << "m_lbRegister" << QSize() << 2;
}

void TestForms::sizes()
{
    QFETCH(QString, form);
    QFETCH(QString, name);
    QFETCH(QSize, size);
    QFETCH(int, maximumHeight);

    const auto window = makeForm(form);
    QWidget *widget = name.isEmpty() ? window.get() : child<QWidget>(window.get(), name);
    QVERIFY(widget);
    if (size.isValid())
        QCOMPARE(widget->size(), size);
    QCOMPARE(widget->maximumHeight(), maximumHeight);
    QCOMPARE(widget->maximumWidth(), QWIDGETSIZE_MAX);
}

void TestForms::layouts_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QVector<int>>("stretches");
    QTest::addColumn<int>("margin");

    // Spacers count as items, so a lost spacer shows as a shorter list. Layouts
    // nested in layouts have no margin of their own.
    const struct
    {
        const char *form, *layout;
        QVector<int> stretches;
        int margin;
    } rows[] = {
        {"main", "verticalLayout", {1, 9, 1}, 11},
        {"main", "horizontalLayout", {0, 0, 0}, 11},
        {"main", "verticalLayout_5", {4, 2, 1, 1, 4}, 11},
        {"main", "horizontalLayout_5", {1, 2, 1}, 0},
        {"main", "horizontalLayout_6", {0, 0, 0}, 0},
        {"main", "verticalLayout_3", {10, 2}, 11},
        {"main", "horizontalLayout_2", {0, 0, 0, 0, 0}, 11},
        {"main", "verticalLayout_4", {10, 2}, 11},
        {"main", "verticalLayout_6", {3, 1, 1, 1, 3}, 11},
        {"main", "horizontalLayout_3", {0, 0, 0, 0}, 0},
        {"main", "horizontalLayout_7", {2, 3, 3, 1}, 0},
        {"main", "horizontalLayout_9", {100, 4, 2}, 11},
        {"login", "verticalLayout", {3, 1, 6}, 11},
        {"login", "verticalLayout_6", {4, 4}, 11},
        {"login", "horizontalLayout", {0, 0, 0, 0, 0}, 0},
        {"login", "horizontalLayout_14", {1, 10, 1, 10, 1}, 0},
        {"login", "verticalLayout_2", {3, 2, 1, 2, 1, 1, 3, 2, 6, 1, 1}, 11},
        {"login", "verticalLayout_3", {1, 2, 1, 2, 1, 2, 1, 2, 3, 2, 3, 1, 1}, 11},
        {"login", "horizontalLayout_4", {4, 1, 1}, 0},
        {"login", "horizontalLayout_12", {3, 3, 3}, 0},
        {"node", "verticalLayout", {0}, 11},
        {"node", "verticalLayout_2", {0, 0, 0, 0, 0, 0, 0}, 0},
    };
    for (const auto &row : rows)
        QTest::addRow("%s %s", row.form, row.layout)
            << row.form << row.layout << row.stretches << row.margin;
}

void TestForms::layouts()
{
    QFETCH(QString, form);
    QFETCH(QString, layout);
    QFETCH(QVector<int>, stretches);
    QFETCH(int, margin);

    const auto window = makeForm(form);
    auto *box = child<QBoxLayout>(window.get(), layout);
    QVERIFY(box);
    QVector<int> actual;
    for (int i = 0; i < box->count(); ++i)
        actual << box->stretch(i);
    QCOMPARE(actual, stretches);
    QCOMPARE(box->spacing(), 6);
    QCOMPARE(box->contentsMargins(), QMargins(margin, margin, margin, margin));
}

void TestForms::mainFormInitialState()
{
    QWidget window;
    Ui::CMainWindowClass ui;
    ui.setupUi(&window);

    QCOMPARE(ui.m_swFun->count(), 3);
    QCOMPARE(ui.m_swFun->widget(0), ui.m_linkPage);
    QCOMPARE(ui.m_swFun->widget(1), ui.m_nodePage);
    QCOMPARE(ui.m_swFun->widget(2), ui.m_settingPage);
    QCOMPARE(ui.m_swFun->currentWidget(), ui.m_linkPage);

    for (QAbstractButton *button : window.findChildren<QAbstractButton *>())
        QVERIFY2(!button->isChecked(), qPrintable(button->objectName()));
    for (QAbstractButton *button : ui.m_bgMenu->buttons())
        QVERIFY(button->isCheckable());

    QCOMPARE(ui.m_twNodeList->rowCount(), 0);
    QCOMPARE(ui.m_twNodeList->columnCount(), 0);
    QCOMPARE(ui.m_twNodeList->frameShape(), QFrame::NoFrame);
    QCOMPARE(ui.m_twNodeList->gridStyle(), Qt::SolidLine);
    QCOMPARE(ui.m_twNodeList->sizeAdjustPolicy(), QAbstractScrollArea::AdjustIgnored);
    const QHeaderView *columns = ui.m_twNodeList->horizontalHeader();
    QVERIFY(columns->isHidden());
    QVERIFY(columns->cascadingSectionResizes());
    QVERIFY(columns->stretchLastSection());
    QCOMPARE(columns->defaultSectionSize(), 60);
    QCOMPARE(columns->minimumSectionSize(), 10);
    const QHeaderView *rows = ui.m_twNodeList->verticalHeader();
    QVERIFY(!rows->isHidden());
    QVERIFY(!rows->stretchLastSection());
    QCOMPARE(rows->defaultSectionSize(), 20);
    QCOMPARE(rows->minimumSectionSize(), 10);

    QVERIFY(!window.windowIcon().isNull());

    QVERIFY(shown(&window));
    // The setting button is the leftmost menu entry, whatever its group id suggests.
    QVERIFY(ui.m_btnSetting->x() < ui.m_btnLink->x());
    QVERIFY(ui.m_btnLink->x() < ui.m_btnNode->x());
    QVERIFY(ui.m_lbBackground->height() <= 20);
    QCOMPARE(colourAt(ui.m_lbBackground), QColor(255, 0, 0));
}

void TestForms::mainFormStyles()
{
    QWidget window;
    Ui::CMainWindowClass ui;
    ui.setupUi(&window);
    // Place a stack of a derived class beside the real one, over the status strip.
    auto *derived = new DerivedStack(&window);
    derived->setGeometry(0, 0, 60, 60);
    QVERIFY(shown(&window));
    derived->raise();

    // The corner lies in the page's margin, where nothing but the stack paints.
    const QColor grey(230, 230, 230);
    QCOMPARE(colourAt(ui.m_swFun, QPoint(3, 3)), grey);
    QVERIFY(colourAt(derived) != grey);
}

void TestForms::loginTabs_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("checkedTab");
    QTest::addColumn<QColor>("loginBar");
    QTest::addColumn<QColor>("registerBar");

    // The form itself leaves the sign-up page current; the window must not.
    QTest::newRow("as opened") << QStringList{} << "m_loginPage"
                               << "m_btLoginPage" << activeBar << inactiveBar;
    QTest::newRow("to sign-up") << QStringList{"m_btRegisterPage"} << "m_registerPage"
                                << "m_btRegisterPage" << inactiveBar << activeBar;
    QTest::newRow("and back") << QStringList{"m_btRegisterPage", "m_btLoginPage"} << "m_loginPage"
                              << "m_btLoginPage" << activeBar << inactiveBar;
    QTest::newRow("login again") << QStringList{"m_btLoginPage"} << "m_loginPage"
                                 << "m_btLoginPage" << activeBar << inactiveBar;
    QTest::newRow("sign-up again")
        << QStringList{"m_btRegisterPage", "m_btRegisterPage"} << "m_registerPage"
        << "m_btRegisterPage" << inactiveBar << activeBar;
}

void TestForms::loginTabs()
{
    QFETCH(QStringList, clicks);
    QFETCH(QString, page);
    QFETCH(QString, checkedTab);
    QFETCH(QColor, loginBar);
    QFETCH(QColor, registerBar);

    CLoginWindow window;
    QVERIFY(shown(&window));
    for (const QString &tab : clicks)
        QTest::mouseClick(child<QAbstractButton>(&window, tab), Qt::LeftButton);

    auto *stack = child<QStackedWidget>(&window, "m_stackedWidget");
    QCOMPARE(stack->currentWidget()->objectName(), page);
    int checked = 0;
    for (QAbstractButton *tab : child<QButtonGroup>(&window, "m_btLoginGroup")->buttons()) {
        checked += tab->isChecked() ? 1 : 0;
        QCOMPARE(tab->isChecked(), tab->objectName() == checkedTab);
    }
    QCOMPARE(checked, 1);
    QCOMPARE(colourAt(child<QLabel>(&window, "m_lbLogin")), loginBar);
    QCOMPARE(colourAt(child<QLabel>(&window, "m_lbRegister")), registerBar);
}

void TestForms::loginButtons_data()
{
    QTest::addColumn<QString>("tab");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("submits");

    // Submitting reads none of the fields, so empty ones go through as well.
    QTest::newRow("login") << "m_btLoginPage"
                           << "m_btLogin" << true;
    QTest::newRow("sign-up") << "m_btRegisterPage"
                             << "m_btRegister" << true;
    QTest::newRow("forgotten password") << "m_btLoginPage"
                                        << "pushButton_3" << false;
    QTest::newRow("privacy policy") << "m_btLoginPage"
                                    << "pushButton_5" << false;
    QTest::newRow("user agreement") << "m_btRegisterPage"
                                    << "pushButton_7" << false;
}

void TestForms::loginButtons()
{
    QFETCH(QString, tab);
    QFETCH(QString, button);
    QFETCH(bool, submits);

    CLoginWindow window;
    QSignalSpy reported(&window, &CLoginWindow::signalShowMainWindow);
    QVERIFY(shown(&window));
    QTest::mouseClick(child<QAbstractButton>(&window, tab), Qt::LeftButton);
    auto *stack = child<QStackedWidget>(&window, "m_stackedWidget");
    QWidget *page = stack->currentWidget();
    auto *loginBar = child<QLabel>(&window, "m_lbLogin");
    const QColor barBefore = colourAt(loginBar);

    QTest::mouseClick(child<QAbstractButton>(&window, button), Qt::LeftButton);

    QCOMPARE(window.isVisible(), !submits);
    QCOMPARE(reported.count(), submits ? 1 : 0);
    if (submits)
        QCOMPARE(reported.first().first(), QVariant(true));
    // Hiding keeps the page, so the window reopens where the user left it.
    QCOMPARE(stack->currentWidget(), page);
    QCOMPARE(colourAt(loginBar), barBefore);
}

void TestForms::passwordsMasked_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("masked");

    QTest::newRow("login name") << "lineEdit" << false;
    QTest::newRow("login password") << "lineEdit_2" << true;
    QTest::newRow("sign-up name") << "lineEdit_4" << false;
    QTest::newRow("sign-up password") << "lineEdit_3" << true;
    QTest::newRow("sign-up repeat") << "lineEdit_6" << true;
    QTest::newRow("sign-up mail") << "lineEdit_5" << false;
}

void TestForms::passwordsMasked()
{
    QFETCH(QString, field);
    QFETCH(bool, masked);

    CLoginWindow window;
    auto *edit = child<QLineEdit>(&window, field);
    QVERIFY(edit);
    QTest::keyClicks(edit, "hunter2");
    QCOMPARE(edit->text(), QString("hunter2"));
    QCOMPARE(edit->displayText() == edit->text(), !masked);
}

void TestForms::nodeFields_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("width");

    // The user id is the only long value, so only its field is wide.
    QTest::newRow("address") << 0 << "label"
                             << "地址(address)"
                             << "lineEdit" << 131;
    QTest::newRow("port") << 1 << "label_7"
                          << "端口(port)"
                          << "lineEdit_2" << 131;
    QTest::newRow("user id") << 2 << "label_6"
                             << "用户ID(id)"
                             << "lineEdit_3" << 231;
    QTest::newRow("alter id") << 3 << "label_2"
                              << "额外ID(alterId )"
                              << "lineEdit_4" << 131;
    QTest::newRow("security") << 4 << "label_3"
                              << "加密方式(security)"
                              << "lineEdit_5" << 131;
    QTest::newRow("network") << 5 << "label_4"
                             << "传输协议(network)"
                             << "lineEdit_6" << 131;
    QTest::newRow("remark") << 6 << "label_5"
                            << "别名(remark)"
                            << "lineEdit_7" << 131;
}

void TestForms::nodeFields()
{
    QFETCH(int, row);
    QFETCH(QString, label);
    QFETCH(QString, text);
    QFETCH(QString, field);
    QFETCH(int, width);

    CNodeWin window;
    QVERIFY(!window.isVisible());

    auto *labels = child<QVBoxLayout>(&window, "verticalLayout_2");
    QVERIFY(labels);
    QCOMPARE(labels->itemAt(row)->widget()->objectName(), label);
    QCOMPARE(child<QLabel>(&window, label)->text(), text);

    // A label names the field at the same height rank among the seven.
    QList<QLineEdit *> edits = window.findChildren<QLineEdit *>();
    QCOMPARE(edits.size(), 7);
    std::sort(edits.begin(), edits.end(),
              [](const QLineEdit *a, const QLineEdit *b) { return a->y() < b->y(); });
    QLineEdit *edit = edits[row];
    QCOMPARE(edit->objectName(), field);
    QCOMPARE(edit->width(), width);
    QCOMPARE(edit->height(), 20);
    QCOMPARE(edit->x(), 130);
    QVERIFY(edit->text().isEmpty());
    QVERIFY(!edit->isReadOnly());
    QTest::keyClicks(edit, "vmess");
    QCOMPARE(edit->text(), QString("vmess"));
}

void TestForms::nodeWindowOffersNoButtons()
{
    CNodeWin window;
    QVERIFY(window.findChildren<QAbstractButton *>().isEmpty());
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
