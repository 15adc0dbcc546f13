#!/usr/bin/env bash
# Installs what is missing, builds greenlark and the demo service, and starts
# both: the demo service plays the proxy service, so nodes arrive on the node
# page. Where no display is, greenlark starts on a virtual one (Xvfb).
# Extra arguments go to the demo service (for example --nodes my-nodes.txt).
# Exits with greenlark's status.
set -euo pipefail
cd "$(dirname "$0")"
source ./packages.sh
install_packages "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}" || exit 1

build=${GREENLARK_RUN_BUILD:-build-run}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DGREENLARK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target greenlark_app greenlark-demo-service

pids=()
# Runs once greenlark has ended (it runs in the foreground): the virtual display
# goes last, so that greenlark always ends while it still has one.
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT

xvfb_log=
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  display=:${GREENLARK_XVFB_DISPLAY:-77}
  xvfb_log=$build/xvfb.log
  echo "No display found: starting greenlark on the virtual display $display (Xvfb, log: $xvfb_log)."
  echo "Take a look with: import -display $display -window root greenlark.png"
  # In a session of its own: Ctrl+C in this terminal reaches greenlark, which
  # gives the user's proxy settings back and leaves, but not the display.
  setsid Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$xvfb_log" 2>&1 &
  pids+=($!)
  export DISPLAY=$display
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -e "/tmp/.X11-unix/X${display#:}" ]; then
    echo "Xvfb did not start; its messages are in $xvfb_log:" >&2
    cat "$xvfb_log" >&2
    exit 1
  fi
fi

# The demo service's proxy is for trying greenlark: unless --system-proxy asks
# for the desktop's own proxy settings, greenlark keeps its options in its
# stand-in file.
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

# With the proxy core installed, the demo carries traffic through real node
# servers (kept off the internet unless --allow-internet is given).
demo_core=()
if core=$(command -v v2ray); then
  demo_core=(--core "$core")
fi
"$build/demo/greenlark-demo-service" "${demo_core[@]}" "$@" &
pids+=($!)

# An orderly end and a later start that hands over leave with 0; anything else
# is a failure to start or a crash, and is greenlark's status here too.
status=0
"$build/greenlark" || status=$?
if [ "$status" -ne 0 ]; then
  echo "greenlark failed with status $status." >&2
  [ -n "$xvfb_log" ] && echo "The virtual display's messages are in $xvfb_log." >&2
fi
exit "$status"
