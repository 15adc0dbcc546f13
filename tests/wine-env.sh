# shellcheck shell=bash
# Sourced by the scripts that run the Windows build under Wine: the build's own
# Wine prefix (never the user's), and what Wine does differently from Windows,
# named here once.
#
# Usage: . wine-env.sh WINDOWS_BUILD_DIR
# Leaves with 77 (CTest's skipped) when there is no Windows build to run: the
# reason is in the build's SKIPPED file (tools/windows-build.sh writes it).

windows_build=$(cd "$1" 2>/dev/null && pwd) || {
  echo "windows: skipped, no Windows build in $1 (tools/windows-build.sh makes it)"
  exit 77
}
if [ -e "$windows_build/SKIPPED" ]; then
  echo "windows: skipped, $(cat "$windows_build/SKIPPED")"
  exit 77
fi
if ! command -v wine >/dev/null 2>&1; then
  echo "windows: skipped, wine not found (Debian packages wine and wine64)"
  exit 77
fi

# Where Wine is not Windows. The tests learn of them from GREENLARK_WINE_LACKS
# below, by the names in brackets, and check what Wine does instead.
# - [wininet-options] WinINet (Wine 8) keeps the proxy server as it was
#   written (ProxyServer of Internet Settings) and whether PROXY_TYPE_PROXY is
#   set (ProxyEnable): a query gives the flags PROXY_TYPE_PROXY or else
#   PROXY_TYPE_DIRECT, no bypass list and no PAC address (null), and the
#   auto-discovery flags 2, whatever was written; INTERNET_OPTION_REFRESH
#   answers FALSE. So greenlark's write never reads back whole ("does not
#   keep greenlark's options"), its PAC mode changes nothing, and what a
#   killed run left cannot be told from the user's own: the next start would
#   keep greenlark's proxy as the user's, where Windows gives the journal's
#   back.
# - WinINet refuses any query that names INTERNET_PER_CONN_FLAGS_UI
#   (ERROR_INVALID_PARAMETER), as those before Windows 7 do: greenlark asks
#   INTERNET_PER_CONN_FLAGS then, so every test that reads Internet Options
#   takes that road here (and only tst_userproxy's rows show the other).
# - Linux's QT_ variables do not reach Windows programs (see WINEQT_ below).
# - A program run with its output in a pipe or a file has no console, so Qt
#   Test writes its report with OutputDebugString (wine-run.sh --qtest).

export GREENLARK_WINE_LACKS="wininet-options"
export WINEPREFIX=$windows_build/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono and no Gecko: a new prefix would otherwise offer to download them.
# No menu builder: it writes the prefix's programs into the user's own menus
# and file types.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Whatever else Wine keeps for the desktop stays beside the prefix too, and
# its own windows never come up on the user's display.
export XDG_CONFIG_HOME=$windows_build/wine-home/config XDG_DATA_HOME=$windows_build/wine-home/data
export XDG_CACHE_HOME=$windows_build/wine-home/cache
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME"
unset DISPLAY WAYLAND_DISPLAY
# Wine keeps Linux's QT_ variables from Windows programs and hands them the
# WINEQT_ ones without the prefix: the tests' QT_QPA_PLATFORM goes across so.
for name in $(compgen -e | grep '^QT_'); do
  export "WINE$name=${!name}"
done
# Qt's offscreen platform for Windows reads its fonts from a folder, not from
# the system; without one it warns at every text it lays out.
if [ -d /usr/share/fonts/truetype/dejavu ]; then
  export WINEQT_QPA_FONTDIR=Z:/usr/share/fonts/truetype/dejavu
fi

# The prefix is made once per test run (wine-run.sh --new-prefix); a Wine
# program started without one would make it on the fly, in its own time.
end_wine() {
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
}

# A folder of the run's own; at the exit, Wine's server ends, then what the
# script started in the background (pids), and the folder goes.
work=$(mktemp -d "${TMPDIR:-/tmp}/wine.XXXXXX")
pids=()
finish() {
  end_wine
  [ ${#pids[@]} -eq 0 ] || kill "${pids[@]}" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT

# A display of the test's own (Xvfb) at SCREEN (default 1024x768x24); sets
# DISPLAY. Wine keeps a session's windows on its display: without one a
# program has none that another could find, nor a size to read.
# Usage: start_display [SCREEN]
start_display() {
  local number
  mkfifo "$work/display"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 "${1:-1024x768x24}" 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
  pids+=($!)
  read -r -t 20 number <"$work/display" || {
    echo "windows: skipped, no display: $(cat "$work/xvfb.log") (Debian package xvfb)"
    exit 77
  }
  export DISPLAY=:$number
}

# Waits at most 60 seconds for the process PID to end.
wait_end() {
  timeout 60 tail --pid="$1" -f /dev/null
}
