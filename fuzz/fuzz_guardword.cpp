// What a later start (or anything else that knocks) sends over the guard's
// socket, cut into reads at points taken from the input. Checked on every
// input:
//  - the word is the text's first run of non-blanks (of valid UTF-8), however
//    the reads were cut, up to the longest argument a command line carries;
//  - it is whole from the read that completes it on, and not before: once a
//    blank follows it, later reads change nothing;
//  - only the word is kept (the reads are never gathered).
#include "fuzz/fuzz.h"
#include "platform/userguard.h"

#include <QTextCodec>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool utf8 =
        (QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8")), true);
    if (size < 1 || !utf8)
        return 0;
    // The first byte seeds the cuts; the longest word is reached by repeating
    // the rest.
    const QByteArray text = fuzz::bytes(data + 1, size - 1).repeated(data[0] == 0xFF ? 300 : 1);
    // All at once, as the text stream that wrote it meant it.
    const QString decoded =
        QScopedPointer<QTextDecoder>(QTextCodec::codecForLocale()->makeDecoder())->toUnicode(text);
    QString expected;
    int at = 0;
    while (at < decoded.size() && decoded.at(at).isSpace())
        ++at;
    while (at < decoded.size() && !decoded.at(at).isSpace() &&
           expected.size() < platform::HandOverWord::kMaxLength)
        expected += decoded.at(at++);
    const bool whole = expected.size() == platform::HandOverWord::kMaxLength ||
                       (!expected.isEmpty() && at < decoded.size());

    platform::HandOverWord word;
    uint32_t cuts = (uint32_t(data[0]) + 1) * 2654435761u;
    bool said = false;
    for (int from = 0; from < text.size();) {
        cuts = cuts * 1664525u + 1013904223u;
        // Reads of a few bytes only while they stay few: a megabyte cut into
        // bytes would time the fuzzer out, not the word.
        const bool small = cuts >> 31 && text.size() < 65536;
        const int take = std::min(int(1 + (cuts >> 8) % (small ? 7 : 5000)), text.size() - from);
        const QString before = word.word();
        const bool now = word.add(text.mid(from, take));
        require(!said || (now && word.word() == before), "a whole word changed");
        require(word.word().size() <= platform::HandOverWord::kMaxLength, "the word grew too long");
        said = now;
        from += take;
    }
    // Qt's decoder may read broken UTF-8 differently when it comes in pieces.
    if (decoded.toUtf8() != text)
        return 0;
    require(said == whole, "the word was taken as whole too early or never");
    require(word.word() == expected, "the word differs from the text's first");
    return 0;
}
