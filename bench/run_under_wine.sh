#!/bin/sh
# run_under_wine.sh PREFIX WINE PROGRAM [ARGUMENTS...]: runs a benchmark under
# Wine in a throwaway prefix of its own, which is shut down afterwards.
set -u
prefix=$1
shift
prefix_script="$(dirname "$0")/../cmake/wineprefix.sh"
"$prefix_script" create "$prefix" || exit 1
WINEPREFIX=$prefix WINEDEBUG=-all "$@"
status=$?
"$prefix_script" shutdown "$prefix"
exit $status
