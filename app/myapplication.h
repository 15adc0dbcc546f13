// The application object. Its constructor decides, before any window exists,
// whether this process is the one copy that runs or a later start that hands
// its last argument over and leaves.
#pragma once

#include <QApplication>

class QLocalServer;
class QLocalSocket;
namespace platform {
class HandOverWord;
}

class MyApplication : public QApplication
{
    Q_OBJECT
    Q_DISABLE_COPY(MyApplication)

public:
    MyApplication(int &argc, char **argv);

    bool isRunning() const { return m_isRunning; }
    // Whether this copy listens for later starts; a copy that does not may
    // have company.
    bool isGuarded() const;

signals:
    // A later start has handed its word over: the user is looking for the
    // window of the copy that runs.
    void signalShowRunningCopy();

private slots:
    void newLocalConnection();

private:
    void takeWord(QLocalSocket *connection, platform::HandOverWord &word, bool handedOver);

    QLocalServer *m_localServer = nullptr;
    bool m_isRunning = false;
};
