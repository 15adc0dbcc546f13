// The login window's own behaviour: its tabs move between the pages and
// recolour the bars under them, and its buttons hide it and report. What the
// forms say and how they are laid out is checked by looking at them.
#include "forms/cloginwindow.h"

#include <QAbstractButton>
#include <QLabel>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QtTest>

class TestForms : public QObject
{
    Q_OBJECT

private slots:
    void loginClicks_data();
    void loginClicks();
};

void TestForms::loginClicks_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QString>("page");
    QTest::addColumn<bool>("submitted");

    const QString login = "m_btLoginPage", signUp = "m_btRegisterPage";
    // The form alone leaves the sign-up page current; the window opens on login.
    QTest::newRow("as opened") << QStringList() << "m_loginPage" << false;
    QTest::newRow("to sign-up and back") << QStringList{signUp, login} << "m_loginPage" << false;
    QTest::newRow("sign-up again") << QStringList{signUp, signUp} << "m_registerPage" << false;
    // Submitting reads none of the fields; hiding keeps the page.
    QTest::newRow("login") << QStringList{"m_btLogin"} << "m_loginPage" << true;
    QTest::newRow("sign-up") << QStringList{signUp, "m_btRegister"} << "m_registerPage" << true;
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
        QTest::mouseClick(window.findChild<QAbstractButton *>(button), Qt::LeftButton);

    const bool onLogin = page == "m_loginPage";
    const QString active = "background-color: rgb(0, 85, 255);";
    const QString inactive = "background-color: rgb(170, 170, 255);";
    QCOMPARE(window.findChild<QStackedWidget *>()->currentWidget()->objectName(), page);
    QCOMPARE(window.findChild<QAbstractButton *>("m_btLoginPage")->isChecked(), onLogin);
    QCOMPARE(window.findChild<QLabel *>("m_lbLogin")->styleSheet(), onLogin ? active : inactive);
    QCOMPARE(window.findChild<QLabel *>("m_lbRegister")->styleSheet(), onLogin ? inactive : active);
    QCOMPARE(window.isVisible(), !submitted);
    QCOMPARE(reported.count(), submitted ? 1 : 0);
    if (submitted)
        QCOMPARE(reported.first().first(), QVariant(true));
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
