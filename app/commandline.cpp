#include "app/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>

namespace commandline {

namespace {

void describe(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Desktop front-end of a local proxy service: shows the service's nodes, starts and stops "
        "the proxy and points the system proxy at it, giving the user's own settings back at "
        "exit.\n\nA later start hands its last argument to the copy that runs and brings its "
        "window up."));
    // Qt's own options have one dash: "-reverse" is no bundle of -v and others.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("word"),
                                 QStringLiteral("Handed to the copy that runs, if any."));
}

} // namespace

int answerQuestions(int &argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    describe(parser);
    // An option unknown here may be Qt's: it is judged once Qt has taken its own.
    parser.parse(arguments);
    const bool help =
        parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"));
    if (!help && !parser.isSet(QStringLiteral("version")))
        return -1;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("greenlark"));
    QCoreApplication::setApplicationVersion(QStringLiteral(GREENLARK_VERSION));
    if (help)
        parser.showHelp(0);
    parser.showVersion();
}

bool accepted(const QStringList &arguments)
{
    QCommandLineParser parser;
    describe(parser);
    if (parser.parse(arguments))
        return true;
    const QString usage = parser.helpText().section(QLatin1Char('\n'), 0, 0);
    std::fputs(qPrintable(QStringLiteral("greenlark: %1\n%2\n").arg(parser.errorText(), usage)),
               stderr);
    return false;
}

} // namespace commandline
