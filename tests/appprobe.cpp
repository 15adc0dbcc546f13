// greenlark as it ships, but ending processes by name does nothing: the tests
// run it as a child, and nothing real may be ended. GREENLARK_APPPROBE_ENDS
// names three stand-ins the test started under names of its own, which it ends
// for real in place of "v2ray.exe", "background.exe" and "greenlark.exe". It says
// "running" once its event loop runs. A line on its stdin does what the user or
// the session does: "close" the window, "quit" from the tray, "logout" (the
// session manager's request before a logout), or "measure"s the window and
// closes it.
#include "app/greenlarkmain.h"
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QLabel>
#include <QMenu>
#include <QMetaMethod>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

namespace {

CMainWindow *mainWindow()
{
    CMainWindow *window = nullptr;
    for (QWidget *widget : QApplication::topLevelWidgets())
        window = window ? window : qobject_cast<CMainWindow *>(widget);
    return window;
}

// Its window's size in the screen's pixels, and each label and button of its
// pages that is narrower or lower than its text: "measured 412x736 cut: NAMES";
// then it closes.
void measure(CMainWindow &window)
{
    const QSize size = window.size() * window.devicePixelRatioF();
    std::printf("measured %dx%d cut:", size.width(), size.height());
    for (QAbstractButton *page : window.findChild<QButtonGroup *>("m_bgMenu")->buttons()) {
        page->click();
        QCoreApplication::sendPostedEvents();
        for (QWidget *widget : window.findChildren<QWidget *>()) {
            const auto *label = qobject_cast<QLabel *>(widget);
            const auto *button = qobject_cast<QAbstractButton *>(widget);
            const QString text = label ? label->text() : button ? button->text() : QString();
            // A radio button's text follows its indicator.
            const int indicator =
                qobject_cast<QRadioButton *>(widget)
                    ? widget->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) +
                          widget->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing)
                    : 0;
            const QFontMetrics metrics = widget->fontMetrics();
            if (!text.isEmpty() && widget->isVisible() &&
                (metrics.horizontalAdvance(text) + indicator > widget->contentsRect().width() ||
                 metrics.height() > widget->contentsRect().height()))
                std::printf(" %s", qPrintable(widget->objectName()));
        }
    }
    std::puts("");
    window.close();
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
            measure(*window);
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
