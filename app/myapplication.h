// The application object. Its constructor decides, before any window exists,
// whether this process is the one copy that runs or a later start that hands
// its last argument over and leaves.
#pragma once

#include <QApplication>
#include <memory>

class QLocalServer;
class QLocalSocket;
namespace platform {
class HandOverWord;
}
class QLockFile;

class MyApplication : public QApplication
{
    Q_OBJECT
    Q_DISABLE_COPY(MyApplication)

public:
    MyApplication(int &argc, char **argv);
    ~MyApplication() override;

    bool isRunning() const { return m_isRunning; }
    // An option greenlark does not know was given: this process is no copy
    // and asked none; it leaves with 1.
    bool argumentsRefused() const { return m_argumentsRefused; }
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
    // Whether a copy that runs took this start's word.
    bool handOver(const QString &serverName);
    void listen(const QString &serverName);
    void takeWord(QLocalSocket *connection, platform::HandOverWord &word, bool handedOver);

    std::unique_ptr<QLockFile> m_guardLock;
    QLocalServer *m_localServer = nullptr;
    bool m_isRunning = false;
    bool m_argumentsRefused = false;
};
