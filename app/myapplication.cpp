#include "myapplication.h"

#include "app/commandline.h"
#include "platform/userguard.h"

#include <QAccessibleObject>
#include <QDeadlineTimer>
#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

#include <memory>

namespace {
constexpr int kConnectTimeoutMs = 500;
constexpr int kHandOverTimeoutMs = 30000;
constexpr int kReadTimeoutMs = 1000;
// How long a start waits for the copy that holds the guard's lock to listen;
// it is only the moment between the lock and the listen, unless that copy hangs.
constexpr int kGuardWaitMs = 5000;
constexpr int kGuardRetryMs = 20;
} // namespace

namespace {

// The application as a screen reader names it. Its object name stays the
// guard's, and its display name would go into every window title.
class AccessibleGreenlark : public QAccessibleApplication
{
public:
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? QStringLiteral("greenlark")
                                      : QAccessibleApplication::text(t);
    }
};

QAccessibleInterface *accessibleApplication(const QString &, QObject *object)
{
    return object == qApp ? new AccessibleGreenlark : nullptr;
}

} // namespace

MyApplication::MyApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("localserver"));
    // Docks, task bars and Wayland match the window to greenlark.desktop by it.
    setDesktopFileName(QStringLiteral("greenlark"));
    QAccessible::installFactory(accessibleApplication);
    // Qt has taken its own options out by now; an answer asks no copy.
    if (!commandline::accepted(arguments())) {
        m_argumentsRefused = true;
        return;
    }
    const QString serverName = platform::userGuardName(applicationName());
    if (serverName.isEmpty()) {
        qDebug("The single-instance guard has no place of this user's own: running unguarded");
        return;
    }

    // Whoever holds the lock listens, or is about to: a start that cannot take
    // it waits for that copy rather than listen over its socket. A copy that
    // was killed leaves a lock whose holder is gone, which is taken over.
    m_guardLock = std::make_unique<QLockFile>(platform::userGuardLock(serverName));
    m_guardLock->setStaleLockTime(0);
    bool locked = m_guardLock->tryLock(0) || m_guardLock->error() != QLockFile::LockFailedError;
    const QDeadlineTimer deadline(kGuardWaitMs);
    while (!handOver(serverName)) {
        if (locked) {
            listen(serverName);
            return;
        }
        if (deadline.hasExpired()) {
            qDebug().noquote() << "The single-instance guard" << serverName
                               << "is held by a copy that does not answer: running unguarded";
            return;
        }
        locked = m_guardLock->tryLock(kGuardRetryMs);
    }
    m_isRunning = true;
}

MyApplication::~MyApplication()
{
    // Closed before the lock goes, so that a start in between waits for the
    // lock rather than hand its word to a copy on its way out.
    if (m_localServer)
        m_localServer->close();
}

bool MyApplication::handOver(const QString &serverName)
{
    QLocalSocket socket;
    socket.connectToServer(serverName, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return false;
    QTextStream stream(&socket);
    const QStringList args = arguments();
    stream << (args.size() > 1 ? args.last() : QString());
    stream.flush();
    qDebug() << "Connected server,program will quit";
    // An empty hand-over leaves nothing to write; waiting for it would only
    // hold this copy up for the whole time-out.
    if (socket.bytesToWrite() > 0)
        socket.waitForBytesWritten(kHandOverTimeoutMs);
    return true;
}

void MyApplication::listen(const QString &serverName)
{
    qDebug() << "Can't connect to server,build a server";
    m_localServer = new QLocalServer(this);
    m_localServer->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_localServer, SIGNAL(newConnection()), this, SLOT(newLocalConnection()));
    if (!m_localServer->listen(serverName) &&
        m_localServer->serverError() == QAbstractSocket::AddressInUseError) {
        // A copy that was killed leaves its socket file behind; nobody answers
        // on it, so it is ours to take over.
        if (QLocalServer::removeServer(serverName))
            m_localServer->listen(serverName);
    }
    if (m_localServer->isListening())
        return;
    qDebug().noquote() << "The single-instance guard cannot listen on" << serverName << "("
                       << m_localServer->errorString() << "): running unguarded";
    // Later starts need not wait for a guard that is not there.
    m_guardLock->unlock();
}

bool MyApplication::isGuarded() const
{
    return m_localServer && m_localServer->isListening();
}

void MyApplication::newLocalConnection()
{
    QLocalSocket *connection = m_localServer->nextPendingConnection();
    if (!connection)
        return;
    // A later start writes its word and leaves at once; anything else that
    // knocks may say nothing at all, or never stop, and must cost the window
    // nothing while it does: the word is read as it comes, never waited for.
    auto *deadline = new QTimer(connection);
    deadline->setSingleShot(true);
    const auto word = std::make_shared<platform::HandOverWord>();
    connect(deadline, &QTimer::timeout, this,
            [this, connection, word] { takeWord(connection, *word, false); });
    connect(connection, &QLocalSocket::readyRead, this, [this, connection, word] {
        if (word->add(connection->readAll()))
            takeWord(connection, *word, true);
    });
    connect(connection, &QLocalSocket::disconnected, this,
            [this, connection, word] { takeWord(connection, *word, true); });
    deadline->start(kReadTimeoutMs);
    if (connection->state() != QLocalSocket::ConnectedState)
        takeWord(connection, *word, true);
}

// The word ends at the first blank after it, or where the writer leaves.
void MyApplication::takeWord(QLocalSocket *connection, platform::HandOverWord &word,
                             bool handedOver)
{
    if (connection->property("taken").toBool())
        return;
    connection->setProperty("taken", true);
    connection->disconnect(this);
    word.add(connection->readAll());
    qDebug().noquote() << "The value is:" << word.word();
    connection->deleteLater();
    if (handedOver)
        emit signalShowRunningCopy();
}
