#include "app/greenlarkmain.h"

#include "app/myapplication.h"
#include "mainwindow/cmainwindow.h"
#include "platform/exitsignals.h"

#include <QTextCodec>

int greenlarkMain(int &argc, char **argv)
{
    MyApplication app(argc, argv);
    if (app.isRunning())
        return 0;

    QTextCodec::setCodecForLocale(QTextCodec::codecForName("system"));
    // Names the per-user data folder (the journal of the user's proxy options):
    // the application name is the guard's socket name.
    QCoreApplication::setOrganizationName(QStringLiteral("greenlark"));

    // Taken over before the window changes the system proxy, so that from then
    // on a signal leaves the way the tray's quit does.
    ExitSignals exitSignals;
    CMainWindow window;
    QObject::connect(&exitSignals, &ExitSignals::exitRequested, &window, &QWidget::close);
    QObject::connect(&exitSignals, &ExitSignals::exitRequested, &app, &QCoreApplication::quit);
    window.show();
    return app.exec();
}
