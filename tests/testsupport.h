// Shared helpers of the tests.
#pragma once

#include <QByteArray>
#include <QObject>
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

// The bytes of a packed message as they go on the wire.
template <typename Message> QByteArray bytesOf(const Message &message)
{
    return QByteArray(reinterpret_cast<const char *>(&message), int(sizeof message));
}

// A named child the test cannot go on without.
template <typename T> T *child(const QObject &root, const char *name)
{
    T *found = root.findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

// "proxysetting.ini" beside the test binary, where the main window keeps its
// listen port and mode.
QString proxySettingsPath();
