# The Debian packages greenlark needs, and a way to install the missing ones.
# Sourced by run.sh and test.sh.
BUILD_PACKAGES=(cmake g++ make pkg-config qtbase5-dev qttools5-dev-tools qtbase5-dev-tools)
# v2ray: the proxy core the demo service runs its node servers and proxy with.
RUN_PACKAGES=(xvfb xauth fonts-wqy-zenhei v2ray)
# chromium, v2ray and iproute2 (ip): the tests that load pages through the demo's
# proxy cores in a private network.
TEST_PACKAGES=(clang libclang-rt-dev clang-format g++-mingw-w64-x86-64 libbenchmark-dev
  chromium v2ray iproute2)

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
