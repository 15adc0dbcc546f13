#include "forms/cloginwindow.h"

namespace {

const char activeBar[] = "background-color: rgb(0, 85, 255);";
const char inactiveBar[] = "background-color: rgb(170, 170, 255);";

} // namespace

CLoginWindow::CLoginWindow(QWidget *parent) : QWidget(parent)
{
    ui.setupUi(this);

    connect(ui.m_btLoginGroup, SIGNAL(buttonClicked(QAbstractButton *)), this,
            SLOT(slotSelectMainMenu(QAbstractButton *)));
    connect(ui.m_btLogin, SIGNAL(clicked()), this, SLOT(slotLogin()));
    connect(ui.m_btRegister, SIGNAL(clicked()), this, SLOT(slotRegister()));

    // The form leaves the sign-up page current; the window always opens on the login tab.
    ui.m_stackedWidget->setCurrentWidget(ui.m_loginPage);
    ui.m_lbLogin->setStyleSheet(activeBar);
    ui.m_lbRegister->setStyleSheet(inactiveBar);
    ui.m_btLoginPage->setChecked(true);
}

void CLoginWindow::slotSelectMainMenu(QAbstractButton *button)
{
    if (button == ui.m_btLoginPage) {
        ui.m_stackedWidget->setCurrentWidget(ui.m_loginPage);
        ui.m_lbLogin->setStyleSheet(activeBar);
        ui.m_lbRegister->setStyleSheet(inactiveBar);
    } else if (button == ui.m_btRegisterPage) {
        ui.m_stackedWidget->setCurrentWidget(ui.m_registerPage);
        ui.m_lbLogin->setStyleSheet(inactiveBar);
        ui.m_lbRegister->setStyleSheet(activeBar);
    }
}

void CLoginWindow::slotLogin()
{
    hide();
    emit signalShowMainWindow(true);
}

void CLoginWindow::slotRegister()
{
    hide();
    emit signalShowMainWindow(true);
}
