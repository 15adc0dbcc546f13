#!/usr/bin/env bash
# greenlark.exe as it ships, under Wine on a virtual display: it starts, takes
# the control link on port 4000 (the Linux demo service connects and is told
# the listen port), points Internet Options at its proxy with the user's own
# settings in the journal, hands a second start over to the copy that runs,
# and gives the user's settings back when its window is closed, with exit
# status 0, and when the session ends. Killed instead, it leaves the user's
# settings in the journal. The three starts are at 100 %, 150 % and 200 % (the
# user's LogPixels 96, 144 and 192, which each program reads as it starts): its
# window is 1.5 and 2 times as large at the last two, in the display's pixels.
#
# Usage: wine-start.sh WINDOWS_BUILD_DIR DEMO_SERVICE
set -u
. "$(dirname "$0")/wine-env.sh" "$1"
demo_service=$2

fail() {
  echo "windows_start: $*"
  [ ! -s "$work/status" ] || echo "--- the last greenlark.exe ended with $(cat "$work/status")"
  for program in greenlark.exe demo; do
    echo "--- $program said:"
    cat "$work/$program.log"
  done
  exit 1
}

key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
setting() {
  wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | awk -v name="$1" '$1 == name { print $3 }'
}
# Whether the journal names the user's proxy.
journaled() {
  grep -qs corp.example:3128 \
    "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/greenlark/localserver/user-proxy-options.json
}

# Starts greenlark.exe in the background, the RUN-th time, at DPI, and waits
# until it has told the demo service its listen port as many times and its
# window is up; adds the window's size to sizes.
sizes=()
start_greenlark() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$2" /f >/dev/null
  # Its exit status in a file: a process that is killed is no news.
  rm -f "$work/status"
  (
    wine "$windows_build/greenlark.exe" >>"$work/greenlark.exe.log" 2>&1
    echo $? >"$work/status"
  ) 2>/dev/null &
  greenlark=$!
  pids+=("$greenlark")
  [ "$(grep -m "$1" -F "SetListenPort port=1081" \
    < <(timeout 60 tail -n +1 -F "$work/demo.log" 2>/dev/null) | wc -l)" -eq "$1" ] ||
    fail "greenlark.exe did not tell the demo service on port 4000 its listen port"
  for _ in $(seq 200); do
    size=$(xwininfo -name 'greenlark(ver:01.00.00)' 2>/dev/null |
      awk '/Width:/ { w = $2 } /Height:/ { print w "x" $2 }')
    [ -z "$size" ] || break
    sleep 0.1
  done
  sizes+=("$size")
}

# A display of its own: the window, the tray icon and the close a user makes
# need one; Qt's offscreen platform has no Windows window to close.
: >"$work/greenlark.exe.log"
: >"$work/demo.log"
start_display 1920x1920x24
unset WINEQT_QPA_PLATFORM GREENLARK_INTERNET_SETTINGS GREENLARK_PROXY_JOURNAL
# Its messages on standard error, where a Windows program sends them to the debugger.
export WINEQT_FORCE_STDERR_LOGGING=1

# Windows keeps the session's own processes (the desktop, the services) while
# the user is logged in; Wine's server ends them three seconds after the last
# program and starts them again with the next. The programs below, one after
# another, meet one session, as on Windows.
wineserver -p
# The user's own settings: a company proxy.
wine reg add "$key" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null &&
  wine reg add "$key" /v ProxyServer /t REG_SZ /d corp.example:3128 /f >/dev/null ||
  fail "cannot seed the user's settings"

"$demo_service" >"$work/demo.log" 2>&1 &
pids+=($!)
start_greenlark 1 96
[ "$(setting ProxyServer)" = 127.0.0.1:1081 ] && [ "$(setting ProxyEnable)" = 0x1 ] ||
  fail "Internet Options do not name greenlark's proxy: $(setting ProxyServer)"
journaled || fail "the journal does not hold the user's settings"

timeout 60 wine "$windows_build/greenlark.exe" >"$work/second.log" 2>&1 ||
  fail "a second start did not hand over and leave with 0: $(cat "$work/second.log")"
kill -0 "$greenlark" 2>/dev/null || fail "the first copy ended at the second start"

# Without /f taskkill asks the windows to close, as the close button does.
wine taskkill /im greenlark.exe >/dev/null
wait_end "$greenlark" || fail "greenlark.exe did not end at the close"
[ "$(cat "$work/status")" = 0 ] || fail "greenlark.exe ended with $(cat "$work/status")"
[ "$(setting ProxyServer)" = corp.example:3128 ] && [ "$(setting ProxyEnable)" = 0x1 ] ||
  fail "the user's settings did not come back: $(setting ProxyServer)"
! journaled || fail "the journal still holds settings given back"

# At a logoff Windows asks every window whether the session may end, then ends
# the processes: the user's settings go back on the question.
start_greenlark 2 144
wine wineboot --end-session >/dev/null
wait_end "$greenlark" || fail "greenlark.exe outlived the session"
[ "$(setting ProxyServer)" = corp.example:3128 ] ||
  fail "the user's settings did not come back at the session's end: $(setting ProxyServer)"

# Killed, it has no say: the journal keeps the user's settings for the next start.
start_greenlark 3 192
wine taskkill /f /im greenlark.exe >/dev/null
wait_end "$greenlark" || fail "greenlark.exe was not killed"
journaled || fail "a killed run's journal lost the user's settings"
width=${sizes[0]%x*} height=${sizes[0]#*x}
expected="${sizes[0]} $((width * 3 / 2))x$((height * 3 / 2)) $((width * 2))x$((height * 2))"
[ -n "$width" ] && [ "${sizes[*]}" = "$expected" ] ||
  fail "at 96, 144 and 192 DPI the window is ${sizes[*]}, not $expected"
echo "windows_start: started, linked, set the system proxy, handed over, gave the user's" \
  "settings back at the close and at the session's end; killed, left them in the journal;" \
  "the window is ${sizes[*]} at 100 %, 150 % and 200 %"
