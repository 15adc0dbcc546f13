#include "platform/exitsignals.h"

#ifdef Q_OS_WIN

ExitSignals::ExitSignals(QObject *parent) : QObject(parent) {}

ExitSignals::~ExitSignals() = default;

void ExitSignals::readSignals() {}

#else

#include <QDebug>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// [0] is written by the handler, [1] read by the event loop.
int g_pipe[2] = {-1, -1};

void noteSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Non-blocking: with the pipe full the exit is already on its way.
    const ssize_t written = ::write(g_pipe[0], &byte, 1);
    (void)written;
    errno = savedErrno;
}

} // namespace

ExitSignals::ExitSignals(QObject *parent) : QObject(parent)
{
    if (g_pipe[0] >= 0) {
        qWarning("ExitSignals: the signals are taken already");
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_pipe) != 0) {
        qWarning("ExitSignals: no socket pair; signals end the process as they would");
        g_pipe[0] = g_pipe[1] = -1;
        return;
    }
    ::fcntl(g_pipe[0], F_SETFL, ::fcntl(g_pipe[0], F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ExitSignals::readSignals);

    struct sigaction action = {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    // A second signal of the same kind ends the process at once: the way out
    // when the orderly exit hangs. The journal covers what that leaves behind.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (const int signalNumber : kSignals) {
        struct sigaction previous = {};
        if (::sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signalNumber, &action, nullptr);
    }
}

ExitSignals::~ExitSignals()
{
    if (!m_notifier)
        return;
    for (const int signalNumber : kSignals) {
        struct sigaction current = {};
        if (::sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == noteSignal)
            ::signal(signalNumber, SIG_DFL);
    }
    delete m_notifier;
    m_notifier = nullptr;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void ExitSignals::readSignals()
{
    unsigned char byte = 0;
    if (::read(g_pipe[1], &byte, 1) != 1)
        return;
    qDebug().noquote()
        << QStringLiteral("Signal %1: quitting, the user's proxy options go back").arg(int(byte));
    emit exitRequested(int(byte));
}

#endif // Q_OS_WIN
