# The Debian packages greenlark needs, and a way to install the missing ones.
# Sourced by run.sh and test.sh.
BUILD_PACKAGES=(cmake g++ make pkg-config qtbase5-dev qttools5-dev-tools qtbase5-dev-tools
  libglib2.0-dev libkf5config-dev)
# v2ray: the proxy core the demo service runs its node servers and proxy with.
RUN_PACKAGES=(xvfb xauth fonts-wqy-zenhei imagemagick v2ray)
# chromium, v2ray and iproute2 (ip): the tests that load pages through the demo's
# proxy cores in a private network; GSettings' and KConfig's tools, the schemas
# and dbus: the tests of the desktops' own proxy settings; xvfb: a display that
# can die under greenlark, and screens at 150 % and 200 %, in the CJK font the
# window's texts are measured in.
TEST_PACKAGES=(procps clang libclang-rt-dev clang-format libbenchmark-dev
  desktop-file-utils appstream chromium v2ray iproute2
  gsettings-desktop-schemas libglib2.0-bin libkf5config-bin dbus xvfb fonts-wqy-zenhei)
# greenlark.exe and its tests under Wine: MinGW-w64 in the POSIX thread model,
# dpkg-dev to unpack Debian's qtbase source for the Qt that build-mingw-qt.sh
# builds with it (perl runs Qt's configure), Wine, and a display for the window
# with xwininfo (x11-utils) to read its size.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix dpkg-dev perl make wine wine64 xvfb x11-utils)
BENCH_PACKAGES=(libbenchmark-dev jq clang libclang-rt-dev xvfb dbus libxcb1-dev)
# What `cpack` needs to make the .deb and work out its dependencies.
PACKAGE_PACKAGES=(dpkg-dev file)

# Installs the packages that are missing, with sudo when not root. Without root
# and without sudo it names the packages and the command that installs them,
# and fails.
install_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
      || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "These Debian packages are missing: ${missing[*]}" >&2
      echo "Install them as root, then run this again:" >&2
      echo "  apt-get install -y --no-install-recommends ${missing[*]}" >&2
      return 1
    fi
    sudo=(sudo)
  fi
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}
