// greenlark as it ships, but ending processes by name does nothing: the tests
// run it as a child, and nothing real may be ended. A line
// on its stdin does what the user does: "close" the window or "quit" from the
// tray.
#include "app/greenlarkmain.h"
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"

#include <QApplication>
#include <QMenu>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

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
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(takeCommands)

int main(int argc, char *argv[])
{
    platform::setProcessEnder([](const QString &) {});
    return greenlarkMain(argc, argv);
}
