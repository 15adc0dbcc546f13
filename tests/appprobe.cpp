// greenlark as it ships, but ending processes by name does nothing: the tests
// run it as a child, and nothing real may be ended. GREENLARK_APPPROBE_ENDS
// names three stand-ins the test started under names of its own, which it ends
// for real in place of "v2ray.exe", "background.exe" and "greenlark.exe". It says
// "running" once its event loop runs. A line on its stdin does what the user or
// the session does: "close" the window, "quit" from the tray, "logout" (the
// session manager's request before a logout), or "measure"s the window's size
// and closes it.
#include "app/greenlarkmain.h"
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"

#include <QApplication>
#include <QMenu>
#include <QMetaMethod>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

namespace {

CMainWindow *mainWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets())
        if (auto *window = qobject_cast<CMainWindow *>(widget))
            return window;
    return nullptr;
}

void takeCommands()
{
    // The answer to --help has no windows, nor an application object for them.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    auto *commands = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, qApp);
    QObject::connect(commands, &QSocketNotifier::activated, [commands] {
        char line[16] = {};
        const ssize_t length = ::read(STDIN_FILENO, line, sizeof line - 1);
        CMainWindow *window = mainWindow();
        if (length <= 0 || !window) {
            commands->setEnabled(false);
        } else if (qstrncmp(line, "close", 5) == 0) {
            window->close();
        } else if (qstrncmp(line, "logout", 6) == 0) {
            // As Qt's platform passes it on; no handler looks at the manager.
            QMetaMethod::fromSignal(&QGuiApplication::commitDataRequest)
                .invoke(qApp, Qt::DirectConnection, QGenericArgument("QSessionManager&", nullptr));
        } else if (qstrncmp(line, "measure", 7) == 0) {
            // Its size in the screen's pixels.
            const QSize size = window->size() * window->devicePixelRatioF();
            std::printf("measured %dx%d\n", size.width(), size.height());
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

void endStandIns(const QString &name)
{
    const QStringList standIns = qEnvironmentVariable("GREENLARK_APPPROBE_ENDS").split(' ');
    const int which = QStringList{"v2ray.exe", "background.exe", "greenlark.exe"}.indexOf(name);
    const platform::ProcessEnder probes = platform::setProcessEnder({});
    platform::endProcessesByImageName(standIns.value(which));
    platform::setProcessEnder(probes);
}

} // namespace

int main(int argc, char *argv[])
{
    platform::setProcessEnder([](const QString &) {});
    if (qEnvironmentVariableIsSet("GREENLARK_APPPROBE_ENDS"))
        platform::setProcessEnder(endStandIns);
    return greenlarkMain(argc, argv);
}
