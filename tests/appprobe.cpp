// greenlark as it ships, but ending processes by name does nothing: the tests
// run it as a child, and nothing real may be ended. A line on its stdin does
// what the user or the session does: "close" the window, "quit" from the tray,
// or "logout", the session manager's request before a logout.
#include "app/greenlarkmain.h"
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"

#include <QApplication>
#include <QMenu>
#include <QMetaMethod>
#include <QSocketNotifier>
#include <QSystemTrayIcon>

#include <unistd.h>

namespace {

void takeCommands()
{
    // The answer to --help has no windows, nor an application object for them.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
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
        } else if (qstrncmp(line, "logout", 6) == 0) {
            // As Qt's platform passes it on; no handler looks at the manager.
            QMetaMethod::fromSignal(&QGuiApplication::commitDataRequest)
                .invoke(qApp, Qt::DirectConnection, QGenericArgument("QSessionManager&", nullptr));
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
