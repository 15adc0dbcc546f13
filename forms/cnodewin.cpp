#include "forms/cnodewin.h"

CNodeWin::CNodeWin(QWidget *parent) : QWidget(parent)
{
    ui.setupUi(this);
}
