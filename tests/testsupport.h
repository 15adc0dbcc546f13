// Shared helpers of the tests.
#pragma once

#include <QStringList>
#include <QVariant>

// Replaces the ending of processes with a recorder for its lifetime, so no test
// ever ends a real process.
class ProcessEndRecorder
{
public:
    ProcessEndRecorder();
    ~ProcessEndRecorder();
    QStringList names() const;

private:
    Q_DISABLE_COPY(ProcessEndRecorder)
};

// The stand-in's record of the user's internet options ("DefaultConnection/Flags",
// "Notifications/SettingsChanged" ...); an invalid QVariant where a key is absent.
QVariant internetSetting(const QString &key);
QString internetSettingsPath();
