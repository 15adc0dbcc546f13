// Shared helpers of the tests.
#pragma once

#include "platform/proxystore.h"

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QVariant>
#include <optional>

class QAction;
class QMenu;
class QWidget;

// From before main on, ending processes by name does nothing in a test binary,
// so no test ever ends a real process; a test that watches the endings with an
// ender of its own puts this one back when it is done.
void ignoreProcessEnds();

// Why this process could reach the user's own proxy settings or journal, if it
// could: every test that can reach a store checks this first and refuses to run.
QString storesNotPrivate();

// The Windows build, whose tests run under Wine in a prefix of their own.
bool isWindows();
// Whether Wine lacks what Windows has here: one of the names tests/wine-env.sh
// gives the differences it lists ("wininet-options").
bool wineLacks(const char *difference);

// The stores greenlark chooses where GREENLARK_PROXY_BACKEND is `backend`, with
// the stand-in file put aside meanwhile.
platform::ProxyStores storesOfBackend(const QByteArray &backend);

// The stand-in's record of the user's internet options ("DefaultConnection/Flags",
// "Notifications/SettingsChanged" ...); an invalid QVariant where a key is absent.
QVariant internetSetting(const QString &key);
QString internetSettingsPath();
// Puts the options in the system's store as the user's settings page would,
// through WinINet (on Linux its stand-in, whose file tst_proxystores checks).
void seedOptions(const ProxyOptions &options);
// The proxy options as other programs see them: the stand-in file's lines, or
// Internet Settings' values in the registry.
QString internetOptionsText();
// What the store holds now; an absent string reads as a null one.
ProxyOptions storedOptions();
// How often running programs were told the options changed.
int notifications();

// The bytes of a packed message as they go on the wire.
template <typename Message> QByteArray bytesOf(const Message &message)
{
    return QByteArray(reinterpret_cast<const char *>(&message), int(sizeof message));
}

// A named child the test cannot go on without.
template <typename T> T *child(const QObject &root, const char *name)
{
    T *found = root.findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

// "proxysetting.ini" beside the test binary, where the main window keeps its
// listen port and mode.
QString proxySettingsPath();

// The control messages the service hears most, alone and as a frame.
const QByteArray kRequestNodes = QByteArray::fromHex("020000000100000003");
const QByteArray kRequestNodesFrame =
    QByteArray::fromHex("a50a0000000002000000010000000300000000a4");

// The bypass list greenlark writes in global mode; one copy a file, so other
// constants of the file can be made from it.
const QString kOwnBypass = QStringLiteral(
    "<local>;localhost;127.*;10.*;172.16.*;172.17.*;172.18.*;172.19.*;172.20.*;172.21.*;"
    "172.22.*;172.23.*;172.24.*;172.25.*;172.26.*;172.27.*;172.28.*;172.29.*;172.30.*;"
    "172.31.*;192.168.*");

// The entry of that text, in the menu or one of its submenus.
QAction *menuAction(const QMenu *menu, const QString &text);

// A file's bytes; none for a file that is not there.
QByteArray fileBytes(const QString &path);
bool writeFile(const QString &path, const QByteArray &contents);

// The desktops' stores as the tests write them by hand, the way the desktops'
// own settings pages leave them: GNOME's keyfile (GSETTINGS_BACKEND=keyfile)
// and KDE's kioslaverc, in the private configuration folder.
QString gnomeKeyfilePath();
QString kioslavercPath();
// "/http/port=3128" as GNOME's keyfile holds it: a key of org.gnome.system.proxy
// or of a child schema, and a value in GVariant text.
QByteArray gnomeKeyfile(const QStringList &assignments);
// The keyfile's lines, in an order of their own ("[system/proxy/http] port=3128").
QStringList gnomeKeys();

// A display of the test's own (Xvfb), at this size and DPI, named once it takes
// connections: the environment a child shows its windows on there. None when
// Xvfb is not installed.
std::optional<QProcessEnvironment> startDisplay(QProcess &xvfb, const QString &screen, int dpi);

// The message of a window's tips line, after its time stamp.
QString tipsMessage(const QWidget &window);
