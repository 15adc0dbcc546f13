#!/usr/bin/env bash
# greenlark.exe on a display at 100 %, 150 % and 200 % (the user's LogPixels 96,
# 144 and 192, which each program reads as it starts): its window is 1.5 and 2
# times as large at the last two, in the display's pixels, as X has it.
#
# Usage: wine-scale.sh WINDOWS_BUILD_DIR
set -u
. "$(dirname "$0")/wine-env.sh" "$1"
start_display 1920x1920x24
unset WINEQT_QPA_PLATFORM GREENLARK_INTERNET_SETTINGS GREENLARK_PROXY_JOURNAL
wineserver -p # one session, as the user's

sizes=()
for dpi in 96 144 192; do
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null
  size=
  # On a busy machine Wine's desktop may come up too late for the first window
  # ("The explorer process failed to start"), which is then never made: once more.
  for _ in 1 2; do
    wine "$windows_build/greenlark.exe" >>"$work/greenlark.log" 2>&1 &
    greenlark=$!
    for _ in $(seq 200); do
      size=$(xwininfo -name 'greenlark(ver:01.00.00)' 2>/dev/null |
        awk '/Width:/ { w = $2 } /Height:/ { print w "x" $2 }')
      [ -z "$size" ] || break
      sleep 0.1
    done
    wine taskkill /f /im greenlark.exe >/dev/null
    wait_end "$greenlark"
    [ -z "$size" ] || break
  done
  sizes+=("$size")
done

width=${sizes[0]%x*} height=${sizes[0]#*x}
expected="${sizes[0]} $((width * 3 / 2))x$((height * 3 / 2)) $((width * 2))x$((height * 2))"
if [ "${sizes[*]}" != "$expected" ] || [ -z "$width" ]; then
  echo "windows_scale: at 96, 144 and 192 DPI the window is ${sizes[*]}, not $expected"
  cat "$work/greenlark.log"
  exit 1
fi
echo "windows_scale: the window is ${sizes[*]} at 100 %, 150 % and 200 %"
