# The Debian packages greenlark needs, and a way to install the missing ones.
# Sourced by run.sh and test.sh.
BUILD_PACKAGES=(cmake g++ make pkg-config qtbase5-dev qttools5-dev-tools qtbase5-dev-tools
  libglib2.0-dev libkf5config-dev)
RUN_PACKAGES=(xvfb xauth fonts-wqy-zenhei)
TEST_PACKAGES=(clang libclang-rt-dev clang-format g++-mingw-w64-x86-64 libbenchmark-dev
  gsettings-desktop-schemas libglib2.0-bin libkf5config-bin dbus)

install_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
      || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}
