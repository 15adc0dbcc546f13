#!/usr/bin/env bash
# Builds Qt (Core, Gui, Widgets, Network, Test) for Windows with MinGW-w64 from
# Debian's own qtbase source, once per machine, and prints the folder it is in.
#
# The folder lives outside the clone, under
# ${GREENLARK_MINGW_QT_CACHE:-${XDG_CACHE_HOME:-~/.cache}/greenlark-mingw-qt}, named
# after the Qt version and this script's hash, so a changed script builds anew and a
# second run finds it and does nothing. The source comes through a private deb-src
# list; the machine's apt configuration is left as it is.
#
# Exit status: 0 ready (the folder on stdout), 77 when the source cannot be
# fetched (no way to Debian's archive), anything else a failed build.
set -euo pipefail

script=$(readlink -f "$0")
hash=$(sha256sum "$script" | cut -c1-12)
cache_root=${GREENLARK_MINGW_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/greenlark-mingw-qt}
jobs=${GREENLARK_MINGW_QT_JOBS:-$(nproc)}
mirror=${GREENLARK_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security_mirror=${GREENLARK_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}

# The same Qt as the Linux build links, so both run the same library code.
version=$(dpkg-query -W -f='${Version}' qtbase5-dev 2>/dev/null ||
  apt-cache policy qtbase5-dev | sed -n 's/^ *Candidate: //p')
if [ -z "$version" ] || [ "$version" = "(none)" ]; then
  echo "build-mingw-qt: no qtbase5-dev version known to apt" >&2
  exit 1
fi
prefix=$cache_root/qt-${version//[:~+]/_}-$hash
if [ -e "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

mkdir -p "$cache_root"
exec 9>"$prefix.lock"
flock 9
# Another run may have finished it while this one waited for the lock.
if [ -e "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

work=$prefix.work
rm -rf "$work" "$prefix"
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/sources"
. /etc/os-release
cat >"$work/apt/sources/qtbase.sources" <<EOF
Types: deb-src
URIs: $mirror
Suites: $VERSION_CODENAME $VERSION_CODENAME-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: $security_mirror
Suites: $VERSION_CODENAME-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
apt_private=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/apt/sources"
  -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache"
  -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)")

echo "build-mingw-qt: fetching Debian's qtbase source $version" >&2
if ! apt-get "${apt_private[@]}" update -qq >&2 ||
  ! (cd "$work" && apt-get "${apt_private[@]}" source -qq \
    "qtbase-opensource-src=$version" >&2); then
  echo "build-mingw-qt: cannot fetch qtbase-opensource-src=$version from $mirror" >&2
  rm -rf "$work"
  exit 77
fi
source_dir=$(find "$work" -maxdepth 1 -type d -name 'qtbase-opensource-src-*' | head -n1)

# Debian names the POSIX thread model's compilers with a suffix; Qt's mkspec
# calls them by the plain names. The POSIX model is the one whose std::thread
# and std::mutex Qt's MinGW build expects.
mkdir -p "$work/bin"
for tool in gcc g++ c++ cpp; do
  ln -s "$(command -v x86_64-w64-mingw32-$tool-posix)" "$work/bin/x86_64-w64-mingw32-$tool"
done
export PATH=$work/bin:$PATH

echo "build-mingw-qt: building Qt for MinGW-w64 into $prefix (log: $work/build.log)" >&2
started=$SECONDS
mkdir -p "$work/build"
# wintab.h is not in Debian's source: hence no tablet events.
if ! (cd "$work/build" &&
  "$source_dir/configure" -prefix "$prefix" -opensource -confirm-license \
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
    -release -shared -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \
    -no-openssl -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz \
    -no-feature-sql -no-feature-concurrent -no-feature-tabletevent &&
  make -j"$jobs" && make install) >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  echo "build-mingw-qt: the build failed; the whole log is $work/build.log" >&2
  exit 1
fi
touch "$prefix/.complete"
rm -rf "$work"
echo "build-mingw-qt: built in $(((SECONDS - started) / 60)) min" >&2
echo "$prefix"
