// Where the single-instance guard listens: a name of the user's own, so that
// two users of one machine each have their own copy and their own hand-over.
#pragma once

#include <QString>
#include <memory>

class QTextDecoder;

namespace platform {

// On Linux a socket in the user's runtime folder, else in a folder of the
// user's own under the temporary one; either must be the user's and closed
// (mode 0700). On Windows a pipe whose name holds the user's security
// identifier. Empty when no such place can be had.
QString userGuardName(const QString &name);

// The word a later start hands over (its last argument up to the first blank,
// in the locale's encoding), taken from the pieces as they arrive. Each piece
// is looked at once and only the word is kept, so nothing a peer sends makes
// the running copy hold more than the longest command line or go over its
// bytes twice.
class HandOverWord
{
public:
    // On Linux one argument may be this long (in bytes, so in characters too).
    static constexpr int kMaxLength = 128 * 1024;

    HandOverWord();
    ~HandOverWord();

    // True once the word is whole: a blank follows it, or it is as long as
    // the longest argument; later pieces change nothing.
    bool add(const QByteArray &piece);
    QString word() const { return m_word; }

private:
    std::unique_ptr<QTextDecoder> m_decoder;
    QString m_word;
    bool m_whole = false;
};

// The lock file the copy that listens on `serverName` holds for its life, and
// every start while it connects, so that of two starts at once the second
// finds the first: a listen alone would replace a live guard's socket.
QString userGuardLock(const QString &serverName);

} // namespace platform
