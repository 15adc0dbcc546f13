#!/usr/bin/env bash
# Runs a program of the Windows build under Wine, in the build's own prefix,
# and ends that prefix's wineserver after it, with whatever the program left
# running.
#
# Usage: wine-run.sh WINDOWS_BUILD_DIR --new-prefix
#        wine-run.sh WINDOWS_BUILD_DIR [--qtest] PROGRAM [ARGUMENTS...]
# PROGRAM is relative to the build. --qtest: a Qt Test program, whose report is
# shown. Exit status: the program's; 77 when there is no Windows build to run.
set -u
. "$(dirname "$0")/wine-env.sh" "$1"
shift

if [ "${1:-}" = --new-prefix ]; then
  end_wine
  rm -rf "$WINEPREFIX"
  wineboot --init >/dev/null 2>&1
  status=$?
  # A program that crashes prints its backtrace and ends; Wine would otherwise
  # wait on a crash dialog that nobody sees, until the test's time-out.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1 || status=1
  end_wine
  [ $status -eq 0 ] && [ -d "$WINEPREFIX/drive_c" ]
  exit
fi

report=
options=()
work=$(mktemp -d "${TMPDIR:-/tmp}/wine-run.XXXXXX")
xvfb=
finish() {
  end_wine
  [ -z "$xvfb" ] || kill "$xvfb"
  [ -z "$report" ] || cat "$report"
  rm -rf "$work"
}
trap finish EXIT
if [ "$1" = --qtest ]; then
  # Without a console of its own a Qt Test program writes its report with
  # OutputDebugString, which nobody sees: it goes to a file instead.
  shift
  report=$work/report
  options=(-o "Z:$report,txt")
  start_display "$work" || {
    echo "windows: skipped, no display: $(cat "$work/xvfb.log") (Debian package xvfb)"
    exit 77
  }
fi
program=$windows_build/$1
shift
wine "$program" "${options[@]}" "$@"
