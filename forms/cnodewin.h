// A window laying out the fields of one proxy node description. Nothing fills
// or shows it yet; it only holds its form.
#pragma once

#include "ui_cnodewin.h"

#include <QWidget>

class CNodeWin : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(CNodeWin)

public:
    explicit CNodeWin(QWidget *parent = nullptr);

private:
    Ui::CNodeWin ui;
};
