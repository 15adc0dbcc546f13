// The account window with its login and sign-up tabs. It keeps no account
// state of its own: the two submit buttons only hide it and report back.
#pragma once

#include "ui_cloginwindow.h"

#include <QWidget>

class QAbstractButton;

class CLoginWindow : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(CLoginWindow)

public:
    explicit CLoginWindow(QWidget *parent = nullptr);

signals:
    void signalShowMainWindow(bool bShow);

private slots:
    void slotSelectMainMenu(QAbstractButton *button);
    void slotLogin();
    void slotRegister();

private:
    Ui::CLoginWindow ui;
};
