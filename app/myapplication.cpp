#include "myapplication.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStringList>
#include <QTextStream>

namespace {
constexpr int kConnectTimeoutMs = 500;
constexpr int kHandOverTimeoutMs = 30000;
constexpr int kReadTimeoutMs = 1000;
} // namespace

MyApplication::MyApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("localserver"));
    const QString serverName = applicationName();

    QLocalSocket socket;
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    if (socket.waitForConnected(kConnectTimeoutMs)) {
        QTextStream stream(&socket);
        const QStringList args = arguments();
        stream << (args.size() > 1 ? args.last() : QString());
        stream.flush();
        qDebug() << "Connected server,program will quit";
        // An empty hand-over leaves nothing to write; waiting for it would only
        // hold this copy up for the whole time-out.
        if (socket.bytesToWrite() > 0)
            socket.waitForBytesWritten(kHandOverTimeoutMs);
        m_isRunning = true;
        return;
    }

    qDebug() << "Can't connect to server,build a server";
    m_localServer = new QLocalServer(this);
    connect(m_localServer, SIGNAL(newConnection()), this, SLOT(newLocalConnection()));
    if (!m_localServer->listen(serverName) &&
        m_localServer->serverError() == QAbstractSocket::AddressInUseError) {
        // A copy that was killed leaves its socket file behind; nobody answers
        // on it, so it is ours to take over.
        if (QLocalServer::removeServer(serverName))
            m_localServer->listen(serverName);
    }
}

void MyApplication::newLocalConnection()
{
    QLocalSocket *connection = m_localServer->nextPendingConnection();
    if (!connection)
        return;
    connection->waitForReadyRead(kReadTimeoutMs);
    QTextStream stream(connection);
    QString word;
    stream >> word;
    qDebug().noquote() << "The value is:" << word;
    delete connection;
}
