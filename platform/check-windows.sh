#!/usr/bin/env bash
# Compiles every source file of greenlark for Windows, syntax only, with the
# MinGW-w64 cross compiler against the real <windows.h> and <wininet.h>. The
# Windows branch of platform/ never runs on the Linux machines that build and
# test greenlark; this is what keeps it compiling.
#
# Usage: check-windows.sh SOURCE_DIR BUILD_DIR
# BUILD_DIR is a configured and built Linux build: its generated moc, uic and
# rcc output is reused, since the generators' output does not depend on the
# target platform.

set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 SOURCE_DIR BUILD_DIR" >&2
    exit 2
fi
source_dir=$(cd "$1" && pwd) || exit 2
build_dir=$(cd "$2" && pwd) || exit 2

cxx=${GREENLARK_MINGW_CXX:-x86_64-w64-mingw32-g++}
if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "windows_syntax: skipped, $cxx not found (Debian package g++-mingw-w64-x86-64)"
    # CTest counts 77 as skipped, not passed (SKIP_RETURN_CODE).
    exit 77
fi

qt=${GREENLARK_QT_INCLUDE_DIR:-/usr/include/x86_64-linux-gnu/qt5}
if [ ! -f "$qt/QtCore/qglobal.h" ]; then
    echo "windows_syntax: Qt headers not found in $qt" >&2
    exit 1
fi

# Generated headers (ui_*.h, *.moc, moc_*.cpp) of every target of the build.
generated=()
while IFS= read -r dir; do
    generated+=("-I$dir")
done < <(find "$build_dir" -type d -path '*_autogen/include*' -prune | sort)
if [ ${#generated[@]} -eq 0 ]; then
    echo "windows_syntax: no generated headers under $build_dir; build the Linux targets first" >&2
    exit 1
fi

# The Qt headers derive Q_OS_WIN from the compiler's own _WIN32; UNICODE is what
# Qt's Windows builds define, so the W functions are the default ones there too.
# -Wno-attributes: the Linux Qt headers redeclare exported friends, which only
# the Windows dllimport machinery warns about.
flags=(
    -fsyntax-only -std=c++17
    -Wall -Wextra -Wpedantic -Werror -Wno-attributes
    -DUNICODE -D_UNICODE
    -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_NETWORK_LIB
    # Defined by CMake for the real build; any string does for the syntax.
    '-DGREENLARK_VERSION="0.0.0"'
    "-I$source_dir"
    "-I$qt" "-I$qt/QtCore" "-I$qt/QtGui" "-I$qt/QtWidgets" "-I$qt/QtNetwork"
    "${generated[@]}"
)

sources=()
while IFS= read -r file; do
    sources+=("$file")
done < <(cd "$source_dir" && find app link mainwindow forms platform tools userproxy -name '*.cpp' 2>/dev/null | sort)

checked=0
failed=0
for file in "${sources[@]}"; do
    checked=$((checked + 1))
    if output=$("$cxx" "${flags[@]}" "$source_dir/$file" 2>&1); then
        echo "ok     $file"
    else
        failed=$((failed + 1))
        echo "FAILED $file"
        echo "$output" | sed 's/^/    /'
    fi
done

echo "windows_syntax: $checked files checked with $cxx, $failed failed"
[ "$failed" -eq 0 ]
