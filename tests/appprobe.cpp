// greenlark as it ships, but ending processes by name does nothing: the tests
// run it as a child, and nothing real may be ended. With
// GREENLARK_APPPROBE_ENDS_COPIES set, copies of it under a name of the test's
// own end each other as greenlark's copies do, and still nothing else. It says
// "running" once its event loop runs. A line on its stdin does what the user
// does: "close" the window or "quit" from the tray.
#include "app/greenlarkmain.h"
#include "mainwindow/cmainwindow.h"
#include "platform/win32.h"

#include <QAbstractButton>
#include <QApplication>
#include <QButtonGroup>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>

#include <unistd.h>

namespace {

// Names every label and button of every page that is narrower or lower than
// its text, then says "measured".
void reportCutTexts(QWidget &window)
{
    for (QAbstractButton *page : window.findChild<QButtonGroup *>("m_bgMenu")->buttons()) {
        page->click();
        QCoreApplication::sendPostedEvents();
        for (QWidget *widget : window.findChildren<QWidget *>()) {
            const auto *label = qobject_cast<QLabel *>(widget);
            const auto *button = qobject_cast<QAbstractButton *>(widget);
            const QString text = label ? label->text() : button ? button->text() : QString();
            if (text.isEmpty() || !widget->isVisible())
                continue;
            int indicator = 0;
            if (qobject_cast<QRadioButton *>(widget))
                indicator = widget->style()->pixelMetric(QStyle::PM_ExclusiveIndicatorWidth) +
                            widget->style()->pixelMetric(QStyle::PM_RadioButtonLabelSpacing);
            const QFontMetrics metrics = widget->fontMetrics();
            const QRect room = widget->contentsRect();
            if (metrics.horizontalAdvance(text) + indicator > room.width() ||
                metrics.height() > room.height())
                std::printf("cut %s\n", qPrintable(widget->objectName()));
        }
    }
    std::puts("measured");
    std::fflush(stdout);
}

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
        } else if (qstrncmp(line, "measure", 7) == 0) {
            reportCutTexts(*window);
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
