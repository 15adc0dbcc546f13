#include "app/myapplication.h"
#include "mainwindow/cmainwindow.h"

#include <QTextCodec>

int main(int argc, char *argv[])
{
    MyApplication app(argc, argv);
    if (app.isRunning())
        return 0;

    QTextCodec::setCodecForLocale(QTextCodec::codecForName("system"));

    CMainWindow window;
    window.show();
    return app.exec();
}
