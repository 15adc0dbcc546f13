// The keys of kioslaverc's "Proxy Settings" ("Key=Value" lines, as KDE's
// settings write them) read as the WinINet view and written back. Checked on
// every input that greenlark reads:
//  - the view written back onto the same keys changes none of them;
//  - greenlark's options written onto the user's keys read back as greenlark's
//    and leave ReversedException alone (only the store turns it off), and the
//    user's view written onto those reads back as the user's, or is refused
//    without a change;
//  - the keys go through the journal and back unchanged.
#include "fuzz/fuzz.h"
#include "platform/desktopproxy.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    platform::KdeProxyState user;
    const std::pair<const char *, QString *> keys[] = {
        {"ProxyType=", &user.proxyType},   {"Proxy Config Script=", &user.configScript},
        {"NoProxyFor=", &user.noProxyFor}, {"ReversedException=", &user.reversedException},
        {"httpProxy=", &user.proxies[0]},  {"httpsProxy=", &user.proxies[1]},
        {"ftpProxy=", &user.proxies[2]},   {"socksProxy=", &user.proxies[3]}};
    for (const QByteArray &line : fuzz::bytes(data, size).split('\n')) {
        for (const auto &[key, field] : keys) {
            if (line.startsWith(key))
                *field = QString::fromUtf8(line.mid(int(std::strlen(key))));
        }
    }
    ProxyOptions view;
    if (!platform::kdeToInternet(user, &view))
        return 0;
    platform::KdeProxyState written = user;
    require(platform::internetToKde(view, &written) && written == user,
            "the view written back changes a key");
    require(platform::jsonToKde(platform::kdeToJson(user), &written) && written == user,
            "the keys come back from the journal otherwise");

    for (const ProxyOptions &greenlarks :
         {ProxyOptions{PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY, QStringLiteral("127.0.0.1:1081"),
                       QStringLiteral("<local>;localhost;127.*;10.*;192.168.*"), QString(), 0},
          ProxyOptions{PROXY_TYPE_DIRECT | PROXY_TYPE_AUTO_PROXY_URL, view.proxyServer,
                       view.proxyBypass, QStringLiteral("http://127.0.0.1:1082/pac/?t=1"), 0}}) {
        written = user;
        ProxyOptions back;
        require(platform::internetToKde(greenlarks, &written) &&
                    platform::kdeToInternet(written, &back) &&
                    platform::sameOptions(back, greenlarks),
                "greenlark's options read back otherwise");
        require(written.reversedException == user.reversedException,
                "the mapping changed ReversedException");
        // A host the view cannot carry back ("[a]b" or worse) is refused whole;
        // one the view's string cannot carry (a ';' in it) comes back as read.
        platform::ProxyHosts hosts;
        if (!platform::parseProxyServer(view.proxyServer, &hosts) ||
            platform::formatProxyServer(hosts) != view.proxyServer)
            continue;
        const platform::KdeProxyState before = written;
        if (!platform::internetToKde(view, &written)) {
            require(written == before, "a refused view changed a key");
            continue;
        }
        require(platform::kdeToInternet(written, &back) && platform::sameOptions(back, view),
                "the user's view written onto greenlark's reads back otherwise");
    }
    return 0;
}
