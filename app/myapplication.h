// The application object. Its constructor decides, before any window exists,
// whether this process is the one copy that runs or a later start that hands
// its last argument over and leaves.
#pragma once

#include <QApplication>

class QLocalServer;

class MyApplication : public QApplication
{
    Q_OBJECT
    Q_DISABLE_COPY(MyApplication)

public:
    MyApplication(int &argc, char **argv);

    bool isRunning() const { return m_isRunning; }

private slots:
    void newLocalConnection();

private:
    QLocalServer *m_localServer = nullptr;
    bool m_isRunning = false;
};
