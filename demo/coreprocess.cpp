#include "coreprocess.h"

namespace {

// The core says so once every inbound listens; before that line a client
// would be refused.
bool isStartedLine(const QString &line)
{
    return line.contains(QLatin1String("V2Ray")) && line.endsWith(QLatin1String(" started"));
}

// The core leaves at once on SIGTERM; a core that does not is not waited for
// any longer than a person would.
constexpr int kStopWaitMs = 3000;

} // namespace

CoreProcess::CoreProcess(const QString &program, const QString &label, QObject *parent)
    : QObject(parent), m_process(new QProcess(this)), m_program(program), m_label(label)
{
    // The core logs to stdout and errors to stderr; both belong in one log.
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardInputFile(QProcess::nullDevice());
    connect(m_process, &QProcess::readyReadStandardOutput, this, &CoreProcess::readOutput);
    connect(m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &CoreProcess::onFinished);
    connect(m_process, &QProcess::errorOccurred, this, &CoreProcess::onError);
}

CoreProcess::~CoreProcess()
{
    stop();
}

void CoreProcess::start(const QString &configPath)
{
    stop();
    m_carry.clear();
    m_lastLine.clear();
    m_ready = false;
    m_stopping = false;
    m_process->start(m_program, {QStringLiteral("-config"), configPath});
}

void CoreProcess::stop()
{
    if (m_process->state() == QProcess::NotRunning)
        return;
    m_stopping = true;
    m_process->terminate();
    if (!m_process->waitForFinished(kStopWaitMs)) {
        m_process->kill();
        m_process->waitForFinished(kStopWaitMs);
    }
    m_ready = false;
}

bool CoreProcess::isRunning() const
{
    return m_process->state() != QProcess::NotRunning;
}

bool CoreProcess::isReady() const
{
    return m_ready && isRunning();
}

QString CoreProcess::label() const
{
    return m_label;
}

void CoreProcess::readOutput()
{
    m_carry += m_process->readAllStandardOutput();
    int end;
    while ((end = m_carry.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_carry.left(end)).trimmed();
        m_carry.remove(0, end + 1);
        if (line.isEmpty())
            continue;
        m_lastLine = line;
        emit output(QStringLiteral("[%1] %2").arg(m_label, line));
        if (!m_ready && isStartedLine(line)) {
            m_ready = true;
            emit ready();
        }
    }
}

void CoreProcess::onFinished(int exitCode, QProcess::ExitStatus status)
{
    readOutput();
    m_ready = false;
    if (m_stopping)
        return;
    QString reason = status == QProcess::CrashExit ? QStringLiteral("killed")
                                                   : QStringLiteral("exit code %1").arg(exitCode);
    // A core that gives up says why in its last line.
    if (status == QProcess::NormalExit && !m_lastLine.isEmpty())
        reason += QStringLiteral(": ") + m_lastLine;
    emit ended(reason);
}

void CoreProcess::onError(QProcess::ProcessError error)
{
    // Every other error comes with a finished signal of its own.
    if (error == QProcess::FailedToStart && !m_stopping)
        emit ended(QStringLiteral("cannot run %1: %2").arg(m_program, m_process->errorString()));
}
