// WinINet's bypass list as the desktops take it. Pure, and built on every
// platform, since the main window recognises its own options by it whatever
// stores them.

#include "platform/win32.h"

#include <QRegularExpression>
#include <QStringList>

namespace platform {

QString desktopBypassList(const QString &wininetBypass)
{
    // "10.*", "172.16.*", "192.168.1.*": one to three octets and a wildcard, the
    // only wildcard forms the desktops do not read as host name patterns. An
    // octet with a leading zero stays a pattern: address readers disagree on
    // what "010" is (8, 10 or no number), and none may read more than was meant.
    static const QRegularExpression prefix(
        QStringLiteral("^((?:0|[1-9]\\d{0,2})(?:\\.(?:0|[1-9]\\d{0,2})){0,2})\\.\\*\\z"));
    if (wininetBypass.isEmpty())
        return QString();
    QStringList entries;
    for (const QString &entry : wininetBypass.split(QLatin1Char(';'))) {
        // "<local>" (names without a dot) has no desktop equivalent.
        if (entry.compare(QLatin1String("<local>"), Qt::CaseInsensitive) == 0)
            continue;
        const QRegularExpressionMatch match = prefix.match(entry);
        QStringList octets;
        if (match.hasMatch())
            octets = match.captured(1).split(QLatin1Char('.'));
        bool inRange = !octets.isEmpty();
        for (const QString &octet : octets)
            inRange = inRange && octet.toInt() <= 255;
        if (!inRange) {
            entries << entry;
            continue;
        }
        const int prefixBits = int(octets.size()) * 8;
        while (octets.size() < 4)
            octets << QStringLiteral("0");
        entries << octets.join(QLatin1Char('.')) + QLatin1Char('/') + QString::number(prefixBits);
    }
    return entries.join(QLatin1Char(';'));
}

} // namespace platform
