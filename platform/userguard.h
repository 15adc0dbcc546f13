// Where the single-instance guard listens: a name of the user's own, so that
// two users of one machine each have their own copy and their own hand-over.
#pragma once

#include <QString>
#include <memory>

class QTextDecoder;

namespace platform {

// On Linux a socket in the user's runtime folder, else in a folder of the
// user's own (mode 0700) under the temporary one; on Windows a pipe whose name
// holds the user's security identifier. Empty when no such place can be had.
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

} // namespace platform
