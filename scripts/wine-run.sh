#!/bin/bash
# Runs a Windows program under wine: the cross build's test emulator.
#
# The wine prefix is created once (serialised with a lock, so parallel test
# runs do not race on it) and reused. Without an X display the program runs
# inside xvfb-run, because windows and message boxes need one; set
# VORN_WINE_NO_XVFB=1 to run without it. Wine runs the program in its own
# process and returns when it ends, with its exit status, GUI-subsystem
# programs included; so the pid of a backgrounded wine-run.sh (under a
# display) is the Windows program's.
set -u

WINE=${WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=${WINEPREFIX:-/tmp/vorn-wine-$(id -u)}
export WINEDEBUG=${WINEDEBUG:--all}
# No menu entries, no mono/gecko download prompts in the prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe=d;mscoree=d;mshtml=d}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX" || exit 125
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$WINE" wineboot --init >/dev/null 2>&1
      # wineboot returns before the registry is written out; the server
      # writes it when it goes idle.
      "${WINESERVER:-/usr/lib/wine/wineserver}" -w >/dev/null 2>&1
    fi
  ) 9>"$WINEPREFIX.lock"
fi

if [ $# -eq 0 ]; then
  exit 0
fi

# wine-run.sh --wind-down: waits (at most 20 s) until every program of the
# prefix has ended and the wine server is gone; for a caller that keeps its
# own display and must not take it away from a desktop still running.
if [ "$1" = "--wind-down" ]; then
  timeout 20 "${WINESERVER:-/usr/lib/wine/wineserver}" -w >/dev/null 2>&1
  exit 0
fi

# VORN_WINE_LOCALE sets the locale (LC_ALL) of the Windows program alone,
# and so its ANSI code page (zh_CN.* gives 936); VORN_WINE_LOCPATH is the
# LOCPATH under which that locale is found when the system lacks it. The
# caller's shell keeps its own locale.
run=()
if [ -n "${VORN_WINE_LOCALE:-}" ]; then
  run=(env "LC_ALL=$VORN_WINE_LOCALE")
  [ -n "${VORN_WINE_LOCPATH:-}" ] && run+=("LOCPATH=$VORN_WINE_LOCPATH")
fi
run+=("$WINE")

if [ -z "${DISPLAY:-}" ] && [ -z "${VORN_WINE_NO_XVFB:-}" ] && command -v xvfb-run >/dev/null 2>&1; then
  # Wine's desktop process holds the display open; let the server wind
  # down (all programs of the prefix gone) before the display goes, so the
  # next run does not meet a desktop whose display has vanished.
  exec xvfb-run -a bash -c '
    "$0" "$@"; rc=$?
    timeout 20 "${WINESERVER:-/usr/lib/wine/wineserver}" -w >/dev/null 2>&1
    exit $rc' "${run[@]}" "$@"
fi
exec "${run[@]}" "$@"
