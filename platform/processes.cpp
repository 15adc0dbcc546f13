// Ending processes by image name, as "taskkill /im NAME /f" does on Windows,
// kept to this user's login session and never this process.

#include "platform/win32.h"

#include <QMutex>
#include <QMutexLocker>

#include <utility>

#ifdef Q_OS_WIN
#include <QProcess>
#else
#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

struct Dispatch
{
    QMutex mutex;
    platform::ProcessEnder ender;
};

// Built on first use: the tests install their recorder during static
// initialisation, before main, in whatever order the linker chose.
Dispatch &dispatch()
{
    static Dispatch instance;
    return instance;
}

#ifdef Q_OS_WIN

void endWithPlatform(const QString &imageName)
{
    // The full path: a bare "taskkill" is searched in the application's and the
    // current folder before System32, so a planted taskkill.exe there would run.
    QString program = QStringLiteral("taskkill");
    WCHAR systemDir[MAX_PATH];
    const UINT length = GetSystemDirectoryW(systemDir, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        program = QString::fromWCharArray(systemDir, static_cast<int>(length)) +
                  QStringLiteral("\\taskkill.exe");
    }
    // taskkill alone ends the name in every session, of every user when
    // elevated, and this process too: the filters keep it to this user's
    // session and leave this process to end in order.
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    const QString user =
        qEnvironmentVariable("USERDOMAIN") + QLatin1Char('\\') + qEnvironmentVariable("USERNAME");
    QProcess::execute(
        program, {QStringLiteral("/f"), QStringLiteral("/im"), imageName, QStringLiteral("/fi"),
                  QStringLiteral("PID ne %1").arg(GetCurrentProcessId()), QStringLiteral("/fi"),
                  QStringLiteral("USERNAME eq ") + user, QStringLiteral("/fi"),
                  QStringLiteral("SESSION eq %1").arg(session)});
}

#else

QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// What tells whose a process is: its real user, its login session (where the
// kernel keeps one) and the file name of its executable. The command name in
// /proc/PID/comm is not among them: any process may set its own.
platform::ProcessFacts factsOf(const QString &procDir)
{
    platform::ProcessFacts facts;
    for (const QByteArray &line : readProcFile(procDir + QLatin1String("/status")).split('\n')) {
        if (line.startsWith("Uid:"))
            facts.user = line.mid(4).simplified().split(' ').value(0).toLongLong();
    }
    bool known = false;
    const qint64 session = readProcFile(procDir + QLatin1String("/sessionid")).toLongLong(&known);
    if (known)
        facts.session = session;
    QByteArray target(4096, '\0');
    const QByteArray exeLink = QFile::encodeName(procDir + QLatin1String("/exe"));
    const ssize_t length = readlink(exeLink.constData(), target.data(), target.size());
    if (length > 0 && length < target.size()) {
        target.truncate(static_cast<int>(length));
        // An executable replaced on disk (an update) still names the process.
        const QByteArray deleted(" (deleted)");
        if (target.endsWith(deleted))
            target.chop(deleted.size());
        facts.executable = QFile::decodeName(target.mid(target.lastIndexOf('/') + 1));
    }
    return facts;
}

// Holds on to one process while it is examined and signalled, so that a process
// id freed and given to a stranger in between is never signalled.
class ProcessHandle
{
public:
    explicit ProcessHandle(pid_t pid) : m_pid(pid)
    {
#ifdef SYS_pidfd_open
        m_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        m_gone = m_fd < 0 && errno == ESRCH;
#endif
    }
    ~ProcessHandle()
    {
        if (m_fd >= 0)
            close(m_fd);
    }

    bool gone() const
    {
        return m_gone;
    }

    void kill() const
    {
#ifdef SYS_pidfd_send_signal
        if (m_fd >= 0) {
            syscall(SYS_pidfd_send_signal, m_fd, SIGKILL, nullptr, 0);
            return;
        }
#endif
        // Kernels without process handles: the small window of reuse remains.
        ::kill(m_pid, SIGKILL);
    }

private:
    Q_DISABLE_COPY(ProcessHandle)

    pid_t m_pid;
    int m_fd = -1;
    bool m_gone = false;
};

void endWithPlatform(const QString &imageName)
{
    const pid_t self = getpid();
    const platform::ProcessFacts own = factsOf(QStringLiteral("/proc/self"));
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool numeric = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&numeric));
        if (!numeric || pid <= 0 || pid == self)
            continue;
        // Opened before the process is examined, so what is read below is the
        // process the handle holds.
        ProcessHandle process(pid);
        if (!process.gone() &&
            platform::endsWithThis(factsOf(QLatin1String("/proc/") + entry), own, imageName))
            process.kill();
    }
}

#endif // Q_OS_WIN

} // namespace

namespace platform {

bool endsWithThis(const ProcessFacts &process, const ProcessFacts &own, const QString &imageName)
{
    QString wanted = imageName;
    if (wanted.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        wanted.chop(4);
    // A process whose executable cannot be read could be anybody's.
    return !wanted.isEmpty() && process.executable == wanted && process.user == own.user &&
           process.session == own.session;
}

void endProcessesByImageName(const QString &imageName)
{
    ProcessEnder ender;
    {
        QMutexLocker lock(&dispatch().mutex);
        ender = dispatch().ender;
    }
    // Called outside the lock: a handler may itself replace the handler.
    if (ender)
        ender(imageName);
    else
        endWithPlatform(imageName);
}

ProcessEnder setProcessEnder(ProcessEnder ender)
{
    QMutexLocker lock(&dispatch().mutex);
    std::swap(dispatch().ender, ender);
    return ender;
}

} // namespace platform
