#!/bin/sh
# run-in-wineprefix.sh PREFIX PROGRAM [ARGUMENTS...]: runs a Windows program of
# the 64-bit build under Wine in a throwaway prefix of its own, made afresh,
# and shuts that prefix's server down afterwards.
set -u
prefix=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
"$here/wineprefix.sh" create "$prefix" || exit 1
WINEPREFIX=$prefix WINEDEBUG=-all /usr/lib/wine/wine64 "$@"
status=$?
"$here/wineprefix.sh" shutdown "$prefix"
exit $status
