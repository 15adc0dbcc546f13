#include "testsupport.h"

#include "platform/win32.h"

#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

namespace {

QStringList g_recorded;

void record(const QString &name)
{
    g_recorded.append(name);
}

// From before main on, a test binary only ever records: even a test that
// forgets the recorder cannot end a real process.
const bool g_installed = [] {
    platform::setProcessEnder(record);
    return true;
}();

} // namespace

ProcessEndRecorder::ProcessEndRecorder()
{
    Q_UNUSED(g_installed);
    g_recorded.clear();
    platform::setProcessEnder(record);
}

ProcessEndRecorder::~ProcessEndRecorder()
{
    platform::setProcessEnder(record);
}

QStringList ProcessEndRecorder::names() const
{
    return g_recorded;
}

QString internetSettingsPath()
{
    return QString::fromLocal8Bit(qgetenv("GREENLARK_INTERNET_SETTINGS"));
}

QVariant internetSetting(const QString &key)
{
    // QSettings caches a file by its path and may miss a rewrite of the same
    // size within the same timestamp, so read a fresh copy every time.
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("copy.ini"));
    if (!QFile::copy(internetSettingsPath(), copy))
        return QVariant();
    return QSettings(copy, QSettings::IniFormat).value(key);
}

QAction *menuAction(const QMenu *menu, const QString &text)
{
    QList<const QMenu *> menus{menu};
    while (!menus.isEmpty()) {
        for (QAction *action : menus.takeFirst()->actions()) {
            if (action->isVisible() && action->text() == text)
                return action;
            if (action->menu())
                menus << action->menu();
        }
    }
    qFatal("no menu entry %s", qPrintable(text));
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString tipsMessage(const QWidget &window)
{
    static const QRegularExpression line(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:(.*)$"),
        QRegularExpression::DotMatchesEverythingOption);
    const QString text = child<QLabel>(window, "m_lbTips")->text();
    const QRegularExpressionMatch match = line.match(text);
    return match.hasMatch() ? match.captured(1) : QStringLiteral("<not a tips line: %1>").arg(text);
}

QString proxySettingsPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/proxysetting.ini");
}
