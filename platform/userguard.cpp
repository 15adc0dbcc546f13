#include "platform/userguard.h"

#include "platform/win32.h"

#include <QDir>
#include <QFileInfo>
#include <QTextCodec>

#ifdef Q_OS_WIN
#include <sddl.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

#ifdef Q_OS_WIN

QString userGuardName(const QString &name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return QString();
    alignas(TOKEN_USER) char buffer[256];
    DWORD length = 0;
    QString sid;
    LPWSTR text = nullptr;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &text)) {
        sid = QString::fromWCharArray(text);
        LocalFree(text);
    }
    CloseHandle(token);
    return sid.isEmpty() ? QString() : name + QLatin1Char('-') + sid;
}

QString userGuardLock(const QString &serverName)
{
    // A pipe's name is no path; the temporary folder is the user's own.
    return QDir::tempPath() + QLatin1Char('/') + serverName + QLatin1String(".lock");
}

#else

namespace {

// Another user could have made the folder, or may write into it, to listen in
// this user's place: it must be this user's, and closed.
bool usersOwnFolder(const QString &path)
{
    struct stat status = {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &status) == 0 &&
           S_ISDIR(status.st_mode) && status.st_uid == getuid() && (status.st_mode & 077) == 0;
}

} // namespace

QString userGuardName(const QString &name)
{
    // The runtime folder is the user's alone by its definition, where it keeps it.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (usersOwnFolder(runtime))
        return runtime + QLatin1Char('/') + name;
    const QString folder = QDir::tempPath() + QStringLiteral("/greenlark-%1").arg(getuid());
    ::mkdir(QFile::encodeName(folder).constData(), 0700);
    return usersOwnFolder(folder) ? folder + QLatin1Char('/') + name : QString();
}

QString userGuardLock(const QString &serverName)
{
    return serverName + QLatin1String(".lock");
}

#endif

HandOverWord::HandOverWord() : m_decoder(QTextCodec::codecForLocale()->makeDecoder()) {}

HandOverWord::~HandOverWord() = default;

bool HandOverWord::add(const QByteArray &piece)
{
    if (m_whole)
        return true;
    // Blanks as the text stream that wrote the word counts them.
    for (const QChar c : m_decoder->toUnicode(piece)) {
        if (c.isSpace() && !m_word.isEmpty())
            return m_whole = true;
        if (!c.isSpace())
            m_word += c;
        if (m_word.size() == kMaxLength)
            return m_whole = true;
    }
    return false;
}

} // namespace platform
