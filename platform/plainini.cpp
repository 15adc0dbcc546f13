#include "platform/plainini.h"

#include <QString>
#include <cstring>

namespace platform {

namespace {

int digitOf(char c, int base)
{
    const int value = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : base;
    return value < base ? value : -1;
}

} // namespace

bool isPlainIni(const QByteArray &contents)
{
    if (contents.size() > kMaxPlainIniSize)
        return false;
    // The text as Qt's reader unescapes it, over the whole file: quotes dropped,
    // hex and octal escapes in 16 bits (wrapping, as there), unknown escapes and
    // escaped line ends dropped. A value Qt would decode then shows one of the
    // markers; the rest of the file can only add false alarms, never hide one.
    const int n = contents.size();
    const auto at = [&](int i) { return i < n ? contents.at(i) : '\0'; };
    QString text;
    text.reserve(n);
    for (int i = 0; i < n; ++i) {
        const char c = contents.at(i);
        if (c == '"')
            continue;
        if (c != '\\') {
            text += QLatin1Char(c);
            continue;
        }
        const char escaped = at(++i);
        const int base = escaped == 'x' && digitOf(at(i + 1), 16) >= 0 ? 16
                         : digitOf(escaped, 8) >= 0                    ? 8
                                                                       : 0;
        if (base != 0) {
            char16_t value = 0;
            for (i += base == 16 ? 1 : 0; digitOf(at(i), base) >= 0; ++i)
                value = char16_t(value * base + digitOf(at(i), base));
            text += QChar(value);
            --i;
        } else if (escaped && std::strchr("\"?'\\", escaped)) {
            text += QLatin1Char(escaped);
        } else if (escaped && std::strchr("abfnrtv", escaped)) {
            text += QLatin1Char('\n');
        } else if ((escaped == '\n' || escaped == '\r') &&
                   (at(i + 1) == '\n' || at(i + 1) == '\r') && at(i + 1) != escaped) {
            ++i;
        }
    }
    return !text.contains(QLatin1String("@Variant(")) &&
           !text.contains(QLatin1String("@DateTime("));
}

} // namespace platform
