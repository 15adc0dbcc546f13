#!/bin/sh
# Installs a build into a scratch prefix and checks what a desktop finds there:
# the program, its icon, a menu entry the desktop accepts and the description
# software centres read.
#   tests/check-install.sh BUILD_DIR
set -eu
build=$1
for tool in desktop-file-validate appstreamcli; do
    command -v $tool >/dev/null 2>&1 || { echo "install: skipped, no $tool (packages.sh lists it)"; exit 77; }
done
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
# The desktops' stores where the program looks for them once installed; the
# program itself runs from there below.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
for file in bin/greenlark share/icons/hicolor/64x64/apps/greenlark.png \
    "$libdir/greenlark/greenlark-gnome.so" "$libdir/greenlark/greenlark-kde.so"; do
    test -f "$prefix/$file" || { echo "no $file"; exit 1; }
done
desktop-file-validate "$prefix/share/applications/greenlark.desktop"
grep -qx 'Exec=greenlark' "$prefix/share/applications/greenlark.desktop"
appstreamcli validate --no-net "$prefix/share/metainfo/io.greenlark.greenlark.metainfo.xml"

# The installed program on GNOME finds its module where it was installed: it
# sets GNOME's settings and gives them back at a SIGTERM. Its folders are the
# scratch prefix's; its control port is in a network of its own, and its exit,
# which ends other copies of greenlark, stays in a process namespace of its own.
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p -m 700 "$prefix/home/run"
keyfile=$prefix/home/config/glib-2.0/settings/keyfile
env -u GREENLARK_INTERNET_SETTINGS -u GREENLARK_MODULE_DIR -u GREENLARK_PROXY_BACKEND \
    -u GREENLARK_PROXY_JOURNAL HOME="$prefix/home" XDG_CONFIG_HOME="$prefix/home/config" \
    XDG_DATA_HOME="$prefix/home/data" XDG_RUNTIME_DIR="$prefix/home/run" \
    XDG_CURRENT_DESKTOP=GNOME GSETTINGS_BACKEND=keyfile QT_QPA_PLATFORM=offscreen \
    LSAN_OPTIONS="suppressions=$here/lsan.supp" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$prefix/no-bus" \
    sh "$here/in-private-network.sh" sh -c '
        "$1/bin/greenlark" 2>"$1/greenlark.log" &
        pid=$!
        tries=0
        until grep -qs "127.0.0.1" "$2"; do
            tries=$((tries + 1))
            [ $tries -lt 600 ] && kill -0 $pid 2>/dev/null &&
                ! grep -qs "cannot load the module" "$1/greenlark.log" || { kill -KILL $pid; exit 1; }
            sleep 0.1
        done
        kill -TERM $pid
        wait $pid' sh "$prefix" "$keyfile" || {
    status=$? && [ $status -eq 77 ] && exit 77
    echo "the installed program did not set GNOME's settings and end in order:"; cat "$prefix/greenlark.log"; exit 1; }
if grep -qs "127.0.0.1" "$keyfile"; then
    echo "the installed program left its proxy in GNOME's settings"; exit 1
fi
echo "install: binary, icon, a valid desktop entry, a valid AppStream description, and the program runs from there"
