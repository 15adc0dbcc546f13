// The signals that ask a process to end in order: SIGTERM (logout, kill,
// systemctl stop), SIGINT (Ctrl+C) and SIGHUP (a closed terminal). A signal
// handler can do almost nothing safely, so it only notes the signal; the exit
// itself runs in the event loop, like any other quit.
#pragma once

#include <QObject>

class QSocketNotifier;

class ExitSignals : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ExitSignals)

public:
    // Takes over the three signals for the life of the object, except those
    // the process was started to ignore (nohup). One object per process.
    // Windows has no such signals; there the object never asks.
    explicit ExitSignals(QObject *parent = nullptr);
    ~ExitSignals() override;

signals:
    void exitRequested(int signalNumber);

private:
    void readSignals();

    QSocketNotifier *m_notifier = nullptr;
};
