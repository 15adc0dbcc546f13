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
  # A program that crashes prints its backtrace and ends; Wine would otherwise
  # wait on a crash dialog that nobody sees, until the test's time-out.
  wineboot --init >/dev/null 2>&1 &&
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >/dev/null 2>&1
  status=$?
  end_wine
  [ $status -eq 0 ] && [ -d "$WINEPREFIX/drive_c" ]
  exit
fi

options=()
if [ "$1" = --qtest ]; then
  # Without a console of its own a Qt Test program writes its report with
  # OutputDebugString, which nobody sees: it goes to a file instead.
  shift
  options=(-o "Z:$work/report,txt")
  start_display
fi
program=$windows_build/$1
shift
wine "$program" "${options[@]}" "$@"
status=$?
[ ${#options[@]} -eq 0 ] || cat "$work/report"
exit $status
