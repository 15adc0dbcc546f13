// A bypass list in Windows' form ("<local>;10.*;*.corp", as Internet Options
// writes it) converted to the desktops' forms and read back. Checked on every
// input:
//  - each entry but "<local>" becomes one desktop entry, in order: itself, or
//    for an address prefix "a.b.*" the network "a.b.0.0/16" it names, and only
//    where each octet is written as the desktops read it (0 to 255, no leading
//    zero): the conversion never widens what goes direct;
//  - GNOME's ignore-hosts and KDE's NoProxyFor read back as the converted
//    list, which converts to itself (KDE only where no entry holds its comma).
#include "fuzz/fuzz.h"
#include "platform/desktopproxy.h"

#include <QRegularExpression>

namespace {

// The prefix a network entry stands for, "10.16.*" for "10.16.0.0/16"; empty
// when it is none.
QString prefixOf(const QString &entry)
{
    static const QRegularExpression network(
        QStringLiteral("^(\\d+)\\.(\\d+)\\.(\\d+)\\.(\\d+)/(\\d+)$"));
    const QRegularExpressionMatch match = network.match(entry);
    const int bits = match.captured(5).toInt();
    if (!match.hasMatch() || bits % 8 || bits < 8 || bits > 24)
        return QString();
    QStringList octets;
    for (int i = 1; i <= 4; ++i) {
        const QString octet = match.captured(i);
        if (octet != QString::number(octet.toInt()) || octet.toInt() > 255 ||
            (i > bits / 8 && octet != QLatin1String("0")))
            return QString();
        if (i <= bits / 8)
            octets << octet;
    }
    return octets.join(QLatin1Char('.')) + QStringLiteral(".*");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString windows = QString::fromUtf8(fuzz::bytes(data, size));
    const QString desktop = platform::desktopBypassList(windows);
    QStringList kept;
    for (const QString &entry : windows.split(QLatin1Char(';'))) {
        if (entry.compare(QLatin1String("<local>"), Qt::CaseInsensitive) != 0)
            kept << entry;
    }
    const QStringList converted =
        desktop.isEmpty() ? QStringList() : desktop.split(QLatin1Char(';'));
    require(windows.isEmpty() || converted.size() == kept.size() ||
                (kept == QStringList{QString()} && converted.isEmpty()),
            "entries were added or lost");
    for (int i = 0; i < converted.size() && i < kept.size(); ++i)
        require(converted[i] == kept[i] || prefixOf(converted[i]) == kept[i],
                "an entry became another than the network it names");
    require(platform::desktopBypassList(desktop) == desktop, "the desktop's form converts anew");

    ProxyOptions options;
    options.proxyBypass = windows;
    platform::GnomeProxyState gnome;
    ProxyOptions back;
    require(platform::internetToGnome(options, &gnome) && platform::gnomeToInternet(gnome, &back),
            "GNOME does not take the list");
    require(back.proxyBypass == desktop, "GNOME's list reads back otherwise");
    platform::KdeProxyState kde;
    require(platform::internetToKde(options, &kde) && platform::kdeToInternet(kde, &back),
            "KDE does not take the list");
    require(desktop.contains(QLatin1Char(',')) || back.proxyBypass == desktop,
            "KDE's list reads back otherwise");
    return 0;
}
