#!/bin/sh
# wineprefix.sh create|shutdown PREFIX: the throwaway Wine prefix of one test run.
# Where KELMO_WINEPREFIX_TEMPLATE names a prefix Wine has already booted, it is
# copied instead of booting Wine anew (the i386 guest keeps one).
#
# wineprefix.sh watch PREFIX PID [FOLDER]: prints the pid of a watchdog that,
# once PID is gone, ends every process of PREFIX and removes FOLDER. CTest ends
# a test that runs out of time with SIGKILL, to the test and to every process
# below it, so the test's own traps never run; Wine's server and the programs
# that COM starts are not below it, and the watchdog is not either. A script
# that ends normally ends its watchdog first (kill PID), since a prefix of the
# same path may be made again at once.
set -u
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
case $action in
  create)
    [ -n "${WINEPREFIX%/}" ] && [ "${WINEPREFIX#/}" != "$WINEPREFIX" ] || { echo "absolute prefix needed" >&2; exit 2; }
    timeout 60 wineserver -k 2>/dev/null
    rm -rf "$WINEPREFIX" && mkdir -p "$(dirname "$WINEPREFIX")"
    if [ -n "${KELMO_WINEPREFIX_TEMPLATE:-}" ]; then
      cp -a "$KELMO_WINEPREFIX_TEMPLATE" "$WINEPREFIX" || { echo "cannot copy the prefix template" >&2; exit 1; }
    else
      timeout -k 5 240 wineboot -i >/dev/null 2>&1 ||
        { echo "wineboot failed or did not end within 240 s" >&2; timeout 60 wineserver -k; exit 1; }
    fi
    timeout 120 wineserver -w ||
      { echo "the new prefix's processes did not end within 120 s" >&2; timeout 60 wineserver -k; exit 1; } ;;
  shutdown)
    timeout 60 wineserver -k 2>/dev/null
    exit 0 ;;
  watch)
    [ $# -ge 3 ] || { echo "usage: $0 watch PREFIX PID [FOLDER]" >&2; exit 2; }
    (setsid sh -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done
      timeout 60 wineserver -k 2>/dev/null
      [ -z "$2" ] || rm -rf "$2"' watchdog "$3" "${4:-}" </dev/null >/dev/null 2>&1 &
      echo $!) ;;
  *) echo "usage: $0 create|shutdown|watch PREFIX ..." >&2; exit 2 ;;
esac
