#include "trafficsupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// "pid (comm) state ppid ...": comm may hold blanks and parentheses, so the
// fields are counted from the last ')'.
bool readStat(const QString &pid, qint64 *parent, char *state)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray stat = file.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 2 || fields.at(0).isEmpty())
        return false;
    *state = fields.at(0).at(0);
    *parent = fields.at(1).toLongLong();
    return true;
}

} // namespace

const char kTestAddress[] = "198.18.0.1";
const char kOutsideAddress[] = "192.0.2.1";

PageServer::PageServer() : m_server(new QTcpServer(this))
{
    m_server->listen(QHostAddress::AnyIPv4, kPagePort);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                // One request a connection: answered once its head is in.
                if (!socket->peek(64 * 1024).contains("\r\n\r\n"))
                    return;
                socket->readAll();
                const QByteArray text = pageText(socket->localAddress().toString()).toUtf8();
                const QByteArray body =
                    "<html><head><title>" + text + "</title></head><body><h1>" + text +
                    "</h1><p>Served in the test's private network.</p></body></html>\n";
                socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                              "Content-Length: " +
                              QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" +
                              body);
                socket->disconnectFromHost();
            });
        }
    });
}

bool PageServer::isListening() const
{
    return m_server->isListening();
}

QString PageServer::pageText(const QString &address)
{
    return QStringLiteral("greenlark test page at %1:%2").arg(address).arg(kPagePort);
}

bool inPrivateNetwork()
{
    const QList<QHostAddress> local = QNetworkInterface::allAddresses();
    return local.contains(QHostAddress(QLatin1String(kTestAddress))) &&
           local.contains(QHostAddress(QLatin1String(kOutsideAddress)));
}

DemoRun::DemoRun(const QStringList &arguments)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &DemoRun::readLines);
    m_process.start(QString::fromLocal8Bit(qgetenv("GREENLARK_DEMO_SERVICE")), arguments);
}

DemoRun::~DemoRun()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
}

int DemoRun::waitForLine(const QString &text, int from, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        for (int i = from; i < m_lines.size(); ++i) {
            if (m_lines.at(i).contains(text))
                return i;
        }
        from = qMax(from, m_lines.size());
        if (m_process.state() == QProcess::NotRunning || deadline.hasExpired())
            return -1;
        QEventLoop loop;
        connect(&m_process, &QProcess::readyReadStandardOutput, &loop, &QEventLoop::quit);
        connect(&m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), &loop,
                &QEventLoop::quit);
        QTimer::singleShot(qMax<qint64>(1, deadline.remainingTime()), &loop, &QEventLoop::quit);
        loop.exec();
    }
}

QList<qint64> DemoRun::children() const
{
    QList<qint64> found;
    const QString self = QString::number(m_process.processId());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        qint64 parent = 0;
        char state = 0;
        if (readStat(entry, &parent, &state) && QString::number(parent) == self && state != 'Z')
            found.append(entry.toLongLong());
    }
    return found;
}

QString DemoRun::corePath()
{
    return QStandardPaths::findExecutable(QStringLiteral("v2ray"));
}

void DemoRun::readLines()
{
    m_carry += m_process.readAllStandardOutput();
    int end;
    while ((end = m_carry.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromUtf8(m_carry.left(end)));
        m_carry.remove(0, end + 1);
    }
}

bool processExists(qint64 pid)
{
    return QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}
