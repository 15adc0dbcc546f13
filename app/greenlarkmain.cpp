#include "app/greenlarkmain.h"

#include "app/myapplication.h"
#include "mainwindow/cmainwindow.h"
#include "platform/exitsignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTextCodec>

namespace {

// --help and --version are answered before the single-instance guard, by a
// process that never becomes a copy of greenlark; every other argument is the
// guard's to hand over. -1: not asked.
int answerQuestions(int &argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Desktop front-end of a local proxy service: shows the service's nodes, starts and stops "
        "the proxy and points the system proxy at it, giving the user's own settings back at "
        "exit.\n\nA later start hands its last argument to the copy that runs and brings its "
        "window up."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("word"),
                                 QStringLiteral("Handed to the copy that runs, if any."));
    // Other options are not refused: they are the guard's to hand over.
    parser.parse(arguments);
    if (!parser.isSet(help) && !parser.isSet(version))
        return -1;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("greenlark"));
    QCoreApplication::setApplicationVersion(QStringLiteral(GREENLARK_VERSION));
    if (parser.isSet(help))
        parser.showHelp(0);
    parser.showVersion();
}

} // namespace

int greenlarkMain(int &argc, char **argv)
{
    const int answered = answerQuestions(argc, argv);
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
