// Ending processes by image name, as "taskkill /im NAME /f" does on Windows,
// kept to this user's login session and never this process; copies of this
// program are asked before they are forced.

#include "platform/win32.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QMutex>
#include <QMutexLocker>

#include <memory>
#include <utility>
#include <vector>

#ifdef Q_OS_WIN
#include <sddl.h>
#include <tlhelp32.h>
#else
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// A copy restores the user's proxy settings in every store it changed before it
// ends; a store that hangs longer is what the journal is there for.
constexpr int kOrderlyEndMs = 5000;

#ifdef Q_OS_WIN
constexpr Qt::CaseSensitivity kImageCase = Qt::CaseInsensitive;
#else
constexpr Qt::CaseSensitivity kImageCase = Qt::CaseSensitive;
#endif

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

QString withoutExe(QString name)
{
    if (name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        name.chop(4);
    return name;
}

#ifdef Q_OS_WIN

// Closes the handle it holds when it goes.
class Handle
{
public:
    explicit Handle(HANDLE handle = nullptr) : m_handle(handle) {}
    ~Handle()
    {
        if (m_handle && m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
    HANDLE get() const { return m_handle; }

private:
    Q_DISABLE_COPY(Handle)
    HANDLE m_handle;
};

QString userOf(HANDLE process)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return QString();
    const Handle held(token);
    DWORD length = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &length);
    std::vector<char> buffer(length);
    LPWSTR text = nullptr;
    if (length == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), length, &length) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &text))
        return QString();
    const QString sid = QString::fromWCharArray(text);
    LocalFree(text);
    return sid;
}

// Read through a handle that holds the process, so that an id freed and given
// to another process in between is never what is read or ended.
platform::ProcessFacts factsOf(HANDLE process)
{
    platform::ProcessFacts facts;
    facts.user = userOf(process);
    DWORD session = 0;
    if (ProcessIdToSessionId(GetProcessId(process), &session))
        facts.session = session;
    std::vector<WCHAR> path(32768); // the longest path Windows has
    DWORD length = DWORD(path.size());
    if (QueryFullProcessImageNameW(process, 0, path.data(), &length))
        facts.executable =
            withoutExe(QDir::fromNativeSeparators(QString::fromWCharArray(path.data(), int(length)))
                           .section(QLatin1Char('/'), -1));
    return facts;
}

struct CloseRequest
{
    DWORD processId;
    bool asked;
};

// The message the title bar's close button sends, to each window of the process
// that has one: Qt's own helper windows have none and would only be destroyed.
BOOL CALLBACK askToClose(HWND window, LPARAM data)
{
    auto *request = reinterpret_cast<CloseRequest *>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == request->processId && (GetWindowLongPtrW(window, GWL_STYLE) & WS_SYSMENU) &&
        PostMessageW(window, WM_CLOSE, 0, 0))
        request->asked = true;
    return TRUE;
}

void endWithPlatform(const QString &imageName)
{
    const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snapshot.get() == INVALID_HANDLE_VALUE)
        return;
    const DWORD self = GetCurrentProcessId();
    const platform::ProcessFacts own = factsOf(GetCurrentProcess());
    const QString wanted = withoutExe(imageName);
    const bool copies = QString::compare(wanted, own.executable, kImageCase) == 0;
    std::vector<std::unique_ptr<Handle>> asked;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == self ||
            QString::compare(withoutExe(QString::fromWCharArray(entry.szExeFile)), wanted,
                             kImageCase) != 0)
            continue;
        // The least that lets it be checked, ended and waited for.
        auto process = std::make_unique<Handle>(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                        entry.th32ProcessID));
        if (!process->get() || !platform::endsWithThis(factsOf(process->get()), own, imageName))
            continue;
        CloseRequest request{entry.th32ProcessID, false};
        if (copies)
            EnumWindows(askToClose, reinterpret_cast<LPARAM>(&request));
        if (request.asked)
            asked.push_back(std::move(process));
        else
            TerminateProcess(process->get(), 1); // taskkill /f's exit code
    }
    const QDeadlineTimer deadline(kOrderlyEndMs);
    for (const auto &process : asked) {
        if (WaitForSingleObject(process->get(), DWORD(deadline.remainingTime())) != WAIT_OBJECT_0)
            TerminateProcess(process->get(), 1);
    }
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
            facts.user = QString::fromLatin1(line.mid(4).simplified().split(' ').value(0));
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

// Holds on to one process while it is examined, signalled and waited for, so
// that a process id freed and given to a stranger in between is never signalled.
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

    void signal(int signalNumber) const
    {
#ifdef SYS_pidfd_send_signal
        if (m_fd >= 0) {
            syscall(SYS_pidfd_send_signal, m_fd, signalNumber, nullptr, 0);
            return;
        }
#endif
        // Kernels without process handles: the small window of reuse remains.
        ::kill(m_pid, signalNumber);
    }

    // Whether it has ended (a zombie has) by the deadline.
    bool waitForEnd(const QDeadlineTimer &deadline) const
    {
        if (m_fd >= 0) {
            pollfd ended{m_fd, POLLIN, 0};
            int ready = 0;
            do {
                ready = ::poll(&ended, 1, int(deadline.remainingTime()));
            } while (ready < 0 && errno == EINTR);
            return ready > 0;
        }
        const QString stat = QStringLiteral("/proc/%1/stat").arg(m_pid);
        for (;;) {
            const QByteArray fields = readProcFile(stat);
            if (fields.isEmpty() || fields.mid(fields.lastIndexOf(')') + 2, 1) == "Z")
                return true;
            if (deadline.hasExpired())
                return false;
            const timespec pause{0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
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
    const bool copies = withoutExe(imageName) == own.executable;
    std::vector<std::unique_ptr<ProcessHandle>> asked;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool numeric = false;
        const pid_t pid = static_cast<pid_t>(entry.toInt(&numeric));
        if (!numeric || pid <= 0 || pid == self)
            continue;
        // Opened before the process is examined, so what is read below is the
        // process the handle holds.
        auto process = std::make_unique<ProcessHandle>(pid);
        if (process->gone() ||
            !platform::endsWithThis(factsOf(QLatin1String("/proc/") + entry), own, imageName))
            continue;
        if (copies) {
            process->signal(SIGTERM);
            asked.push_back(std::move(process));
        } else {
            process->signal(SIGKILL);
        }
    }
    const QDeadlineTimer deadline(kOrderlyEndMs);
    for (const auto &process : asked) {
        if (!process->waitForEnd(deadline))
            process->signal(SIGKILL);
    }
}

#endif // Q_OS_WIN

} // namespace

namespace platform {

bool endsWithThis(const ProcessFacts &process, const ProcessFacts &own, const QString &imageName)
{
    const QString wanted = withoutExe(imageName);
    // A process whose executable cannot be read could be anybody's.
    return !wanted.isEmpty() && QString::compare(process.executable, wanted, kImageCase) == 0 &&
           !own.user.isEmpty() && process.user == own.user && process.session == own.session;
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
