#include "app/greenlarkmain.h"

#include "app/commandline.h"
#include "app/myapplication.h"
#include "mainwindow/cmainwindow.h"
#include "platform/exitsignals.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextCodec>

int greenlarkMain(int &argc, char **argv)
{
    const int answered = commandline::answerQuestions(argc, argv);
    if (answered >= 0)
        return answered;

    // Read when the application object is made. The window, its widgets and
    // the tray icon then grow with the screen's scale, 150 % as 1.5 (Qt would
    // round it to 2), instead of fonts alone growing in a window of fixed pixels.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    MyApplication app(argc, argv);
    if (app.argumentsRefused())
        return 1;
    if (app.isRunning())
        return 0;

    QTextCodec::setCodecForLocale(QTextCodec::codecForName("system"));
    // Names the per-user data folder (the journal of the user's proxy options):
    // the application name is the guard's socket name.
    QCoreApplication::setOrganizationName(QStringLiteral("greenlark"));

    // Qt's X11 platform loads the system's OpenGL driver when it makes the first
    // window, in case a widget of it draws with OpenGL later: Mesa and LLVM, a
    // third of the start. greenlark's widgets all paint in software. Qt reads
    // the choice once, at that window; then the variable is as it was, so
    // nothing started from here inherits it. A choice of the user's own stands.
    const char glChoice[] = "QT_XCB_GL_INTEGRATION";
    const QByteArray usersGlChoice = qgetenv(glChoice);
    if (usersGlChoice.isEmpty())
        qputenv(glChoice, "none");

    // Taken over before the window changes the system proxy, so that from then
    // on a signal leaves the way the tray's quit does.
    ExitSignals exitSignals;
    CMainWindow window;
    connectWindow(app, exitSignals, window);
    if (!app.isGuarded())
        window.showTips(QStringLiteral("初始化完成，但无法确保单一副本"));
    window.show();
    if (usersGlChoice.isNull())
        qunsetenv(glChoice);
    else
        qputenv(glChoice, usersGlChoice);
    return app.exec();
}

void connectWindow(MyApplication &app, ExitSignals &exitSignals, CMainWindow &window)
{
    QObject::connect(&exitSignals, &ExitSignals::exitRequested, &window, &QWidget::close);
    QObject::connect(&exitSignals, &ExitSignals::exitRequested, &app, &QCoreApplication::quit);
    QObject::connect(&app, &MyApplication::signalShowRunningCopy, &window,
                     &CMainWindow::bringToFront);
}
