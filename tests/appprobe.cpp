// greenlark as it ships, but ending processes by name does nothing: the tests
// run it as a child, and nothing real may be ended. With
// GREENLARK_APPPROBE_ENDS_COPIES set, copies of it under a name of the test's
// own end each other as greenlark's copies do, and still nothing else. It says
// "running" once its event loop runs. A line on its stdin does what the user
// does: "close" the window or "quit" from the tray.
#include "app/greenlarkmain.h"
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"

#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

namespace {

void takeCommands()
{
    auto *commands = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, qApp);
    QObject::connect(commands, &QSocketNotifier::activated, [commands] {
        char line[16] = {};
        const ssize_t length = ::read(STDIN_FILENO, line, sizeof line - 1);
        CMainWindow *window = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets())
            window = window ? window : qobject_cast<CMainWindow *>(widget);
        if (length <= 0 || !window) {
            commands->setEnabled(false);
        } else if (qstrncmp(line, "close", 5) == 0) {
            window->close();
        } else {
            for (QAction *action : window->findChild<QSystemTrayIcon *>()->contextMenu()->actions())
                if (action->text() == QStringLiteral("退出"))
                    action->trigger();
        }
    });
    QTimer::singleShot(0, [] {
        std::puts("running");
        std::fflush(stdout);
    });
}

Q_COREAPP_STARTUP_FUNCTION(takeCommands)

void endCopies(const QString &name)
{
    if (name != QStringLiteral("greenlark.exe"))
        return;
    const platform::ProcessEnder probes = platform::setProcessEnder({});
    platform::endProcessesByImageName(
        QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    platform::setProcessEnder(probes);
}

} // namespace

int main(int argc, char *argv[])
{
    platform::setProcessEnder([](const QString &) {});
    if (qEnvironmentVariableIsSet("GREENLARK_APPPROBE_ENDS_COPIES"))
        platform::setProcessEnder(endCopies);
    return greenlarkMain(argc, argv);
}
