// The two INI files a user may edit by hand: the stand-in's options (first
// byte even) and "proxysetting.ini" (odd), the rest of the input being the
// file. Checked on every input:
//  - stand-in: writing one option of a file read leaves the others as they
//    were, or the file, when refused, as it was; a file refused is refused by
//    WinINet's query too, which then leaves the caller's values as they were
//    and allocates nothing;
//  - proxysetting.ini: the port read is one greenlark can listen on (1081 where
//    the file's is not), and port and mode written read back as written.
#include "fuzz/fuzz.h"
#include "platform/standinfile.h"
#include "session/proxysettingsfile.h"

namespace {

void standIn(const QByteArray &contents)
{
    const QString path = fuzz::scratchFile(contents);
    qputenv("GREENLARK_INTERNET_SETTINGS", QFile::encodeName(path));
    INTERNET_PER_CONN_OPTIONW options[5];
    for (DWORD i = 0; i < 5; ++i) {
        options[i].dwOption = i + 1;
        options[i].Value.pszValue = nullptr;
    }
    INTERNET_PER_CONN_OPTION_LISTW list{sizeof(list), nullptr, 5, 0, options};
    DWORD length = sizeof(list);
    const bool queried =
        InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &length);
    for (DWORD i = 1; i < 4; ++i) {
        require(queried || options[i].Value.pszValue == nullptr, "a refused query wrote a value");
        GlobalFree(options[i].Value.pszValue);
    }
    ProxyOptions read;
    require(platform::standin::read(&read) == queried, "the query and the file disagree");
    // A write either holds or leaves the file as it was (a key of someone
    // else's that Qt would not write back as it reads it refuses every write).
    ProxyOptions again = read;
    again.flags = ~read.flags;
    again.proxyServer = QStringLiteral("127.0.0.1:1081");
    const auto unchanged = [&] { return !queried || fuzz::contents(path) == contents; };
    if (queried && !platform::standin::write(read, platform::standin::kAllOptions))
        require(unchanged(), "a refused write changed the file");
    else if (queried && !platform::standin::write(again, 1u << INTERNET_PER_CONN_FLAGS))
        require(unchanged(), "a refused write changed the file");
    else if (queried)
        require(platform::standin::read(&again) && again.flags == ~read.flags &&
                    again.proxyServer == read.proxyServer && again.proxyBypass == read.proxyBypass,
                "writing the flags alone changed another option, or not the flags");
}

void proxySettings(const QByteArray &contents)
{
    const QString path = fuzz::scratchFile(contents);
    const proxysettings::Values values = proxysettings::read(path);
    require(proxysettings::isValidListenPort(values.listenPort), "a port greenlark cannot use");
    // A fresh name: Qt caches what it read by the file's name and time.
    const QString written = fuzz::scratchFile(QByteArray());
    require(proxysettings::write(written, values.listenPort, values.proxyMode),
            "the values read cannot be written");
    const proxysettings::Values back = proxysettings::read(written);
    require(back.listenPort == values.listenPort && back.proxyMode == values.proxyMode,
            "the values written read back otherwise");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The stand-in's scratch copies, in memory as on a desktop.
    static const bool runtime = qputenv("XDG_RUNTIME_DIR", "/dev/shm");
    if (size == 0 || !runtime)
        return 0;
    const QByteArray contents = fuzz::bytes(data + 1, size - 1);
    if (data[0] % 2 == 0)
        standIn(contents);
    else
        proxySettings(contents);
    return 0;
}
