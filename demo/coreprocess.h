// One run of the proxy core on a config file. Its output goes to the owner
// line by line under a label; an end it did not ask for is reported once.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>

class CoreProcess : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(CoreProcess)

public:
    CoreProcess(const QString &program, const QString &label, QObject *parent = nullptr);
    ~CoreProcess() override;

    void start(const QString &configPath);
    // Ends the run and waits for it; reports nothing.
    void stop();

    bool isRunning() const;
    // Every inbound of the run listens.
    bool isReady() const;
    QString label() const;

signals:
    void output(const QString &line);
    void ready();
    // The run ended without stop(): it failed to start, exited or was killed.
    void ended(const QString &reason);

private:
    void readOutput();
    void onFinished(int exitCode, QProcess::ExitStatus status);
    void onError(QProcess::ProcessError error);

    QProcess *m_process;
    QString m_program;
    QString m_label;
    QByteArray m_carry;
    QString m_lastLine;
    bool m_ready = false;
    bool m_stopping = false;
};
