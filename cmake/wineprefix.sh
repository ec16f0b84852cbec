#!/bin/sh
# wineprefix.sh create|shutdown PREFIX: the throwaway Wine prefix of one test run.
# Where KELMO_WINEPREFIX_TEMPLATE names a prefix Wine has already booted, it is
# copied instead of booting Wine anew (the i386 guest keeps one).
set -u
action=$1
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
case $action in
  create)
    [ -n "${WINEPREFIX%/}" ] && [ "${WINEPREFIX#/}" != "$WINEPREFIX" ] || { echo "absolute prefix needed" >&2; exit 2; }
    wineserver -k 2>/dev/null
    rm -rf "$WINEPREFIX" && mkdir -p "$(dirname "$WINEPREFIX")"
    if [ -n "${KELMO_WINEPREFIX_TEMPLATE:-}" ]; then
      cp -a "$KELMO_WINEPREFIX_TEMPLATE" "$WINEPREFIX" || { echo "cannot copy the prefix template" >&2; exit 1; }
    else
      wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
    fi
    wineserver -w ;;
  shutdown)
    wineserver -k 2>/dev/null
    exit 0 ;;
  *) echo "usage: $0 create|shutdown PREFIX" >&2; exit 2 ;;
esac
