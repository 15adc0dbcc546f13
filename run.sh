#!/usr/bin/env bash
# Installs what is missing, builds greenlark and the demo service, and starts
# both: the demo service plays the proxy service, so nodes arrive on the node
# page. Where no display is, greenlark starts on a virtual one (Xvfb).
# Extra arguments go to the demo service (for example --nodes my-nodes.txt).
set -euo pipefail
cd "$(dirname "$0")"
source ./packages.sh
install_packages "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}"

build=${GREENLARK_RUN_BUILD:-build-run}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DGREENLARK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target greenlark_app greenlark-demo-service

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  display=:${GREENLARK_XVFB_DISPLAY:-77}
  echo "No display found: starting greenlark on the virtual display $display (Xvfb)."
  echo "Take a look with: DISPLAY=$display import -window root greenlark.png"
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY=$display
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    sleep 0.1
  done
fi

# The demo service carries no traffic: unless --system-proxy asks for the
# desktop's own proxy settings, greenlark keeps its options in its stand-in file.
demo_args=()
system_proxy=0
for arg in "$@"; do
  if [ "$arg" = "--system-proxy" ]; then system_proxy=1; else demo_args+=("$arg"); fi
done
set -- ${demo_args[@]+"${demo_args[@]}"}
if [ "$system_proxy" -eq 0 ]; then
  export GREENLARK_PROXY_BACKEND=file
  echo "Your desktop's proxy settings stay as they are (./run.sh --system-proxy sets them)."
fi

"$build/tools/greenlark-demo-service" "$@" &
pids+=($!)

# greenlark ends itself at exit, the way taskkill ends it on Windows, so its
# exit status says nothing about how things went.
"$build/greenlark" || true
