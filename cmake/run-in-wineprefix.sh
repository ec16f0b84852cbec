#!/bin/sh
# run-in-wineprefix.sh PREFIX PROGRAM [ARGUMENTS...]: runs a Windows program of
# the 64-bit build under Wine in a throwaway prefix of its own, made afresh,
# and shuts that prefix's server down afterwards, however it ends.
set -u
prefix=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
watchdog=$("$here/wineprefix.sh" watch "$prefix" $$)
trap 'kill "$watchdog" 2>/dev/null; "$here/wineprefix.sh" shutdown "$prefix"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
"$here/wineprefix.sh" create "$prefix" || exit 1
WINEPREFIX=$prefix WINEDEBUG=-all /usr/lib/wine/wine64 "$@"
status=$?
exit $status
