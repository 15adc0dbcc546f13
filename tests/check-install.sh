#!/bin/sh
# Installs a build into a scratch prefix and checks what a desktop finds there:
# the program, its icon, a menu entry the desktop accepts and the description
# software centres read.
#   tests/check-install.sh BUILD_DIR
set -eu
build=$1
if ! command -v desktop-file-validate >/dev/null 2>&1; then
    echo "install: skipped, desktop-file-validate not found (Debian package desktop-file-utils)"
    exit 77
fi
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/greenlark" || { echo "no bin/greenlark"; exit 1; }
test -f "$prefix/share/icons/hicolor/64x64/apps/greenlark.png" || { echo "no icon"; exit 1; }
# Where the program looks for the desktops' stores once installed.
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
for module in gnome kde; do
    test -f "$prefix/$libdir/greenlark/greenlark-$module.so" || { echo "no $module module"; exit 1; }
done
desktop-file-validate "$prefix/share/applications/greenlark.desktop"
grep -qx 'Exec=greenlark' "$prefix/share/applications/greenlark.desktop"
if ! command -v appstreamcli >/dev/null 2>&1; then
    echo "install: skipped, appstreamcli not found (Debian package appstream)"
    exit 77
fi
appstreamcli validate --no-net "$prefix/share/metainfo/io.greenlark.greenlark.metainfo.xml"
echo "install: binary, icon, a valid desktop entry and a valid AppStream description"
