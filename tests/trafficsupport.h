// Helpers of the tests that carry real traffic through the demo's proxy
// cores, inside a private network (tests/in-private-network.sh).
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

class QTcpServer;

// The address the tests' pages are served on, in the range the node servers
// may reach, and one outside it; in-private-network.sh puts both on loopback.
extern const char kTestAddress[];
extern const char kOutsideAddress[];
constexpr quint16 kPagePort = 8080;

// Answers every request on every local IPv4 address with a page that names the
// address and port it was reached on.
class PageServer : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PageServer)

public:
    PageServer();
    bool isListening() const;
    static QString pageText(const QString &address);

private:
    QTcpServer *m_server;
};

// Whether both test addresses are on this network's loopback.
bool inPrivateNetwork();

// The demo service as a child process of a test, with its log read line by
// line.

class DemoRun : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(DemoRun)

public:
    // Starts the demo built with the tests ($GREENLARK_DEMO_SERVICE).
    explicit DemoRun(const QStringList &arguments);
    ~DemoRun() override;

    QProcess &process() { return m_process; }
    QStringList lines() const { return m_lines; }
    // The index of the first line from `from` on that contains `text`, waiting
    // for it as long as the demo runs and `timeoutMs` allows; -1 if none came.
    int waitForLine(const QString &text, int from = 0, int timeoutMs = 20000);
    // The processes the demo started that have not ended.
    QList<qint64> children() const;

    // The v2ray to run, or an empty string when none is installed.
    static QString corePath();

private:
    void readLines();

    QProcess m_process;
    QByteArray m_carry;
    QStringList m_lines;
};

// Whether a process of this id exists, a zombie included.
bool processExists(qint64 pid);

// A loopback port nothing listens on.
quint16 freeLoopbackPort();
