#!/usr/bin/env bash
# Builds greenlark.exe, with what it loads beside it, and the Windows tests
# into BUILD_DIR, with the Qt for MinGW-w64 of build-mingw-qt.sh (built first
# when this machine has none yet).
#
# Usage: tools/windows-build.sh BUILD_DIR
# Exit status 77, with the reason in BUILD_DIR/SKIPPED, when that Qt cannot be
# had for want of Debian's archive: the Windows tests then count as skipped.
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$build"
rm -f "$build/SKIPPED"

status=0
qt=$("$source_dir/tools/build-mingw-qt.sh") || status=$?
if [ $status -eq 77 ]; then
  echo "Qt for MinGW-w64 cannot be built: Debian's source archive is out of reach" |
    tee "$build/SKIPPED" >&2
  exit 77
fi
[ $status -eq 0 ] || exit $status

# Qt's folders are looked up anew each time: a changed build script builds
# Qt into a folder of a new name.
cmake -S "$source_dir" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64.cmake" \
  -U 'Qt5*_DIR' -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_BUILD_TYPE=Release -DGREENLARK_WERROR=ON
cmake --build "$build" -j"$(nproc)"
