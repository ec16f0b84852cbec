#!/bin/sh
# demo.sh BUILD: the whole story under Wine, in a throwaway prefix: register the
# server and the sample hosted component, activate the server out of process
# from a client, call the hosted component through it, watch the server end by
# itself, and unregister.
set -u
build=$(cd "${1:?usage: demo.sh BUILD}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
prefix=$build/demo-prefix
export WINEPREFIX=$prefix WINEDEBUG=-all
# The build's own Wine: 64-bit for win64, 32-bit (in the i386 guest) for win32.
wine=$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null)
[ -n "$wine" ] || { echo "demo: $build is not a configured build: its CMakeCache.txt names no Wine" >&2; exit 1; }
server=$build/server/Kelmo7.exe
hosted="Z:$(echo "$build/hosted/KelmoHosted.dll" | tr / '\\')"
client=$build/demo/kelmo_demo.exe

step() { printf '== %s\n' "$*"; }
started=$(date +%s)

step "creating a throwaway Wine prefix in $prefix"
"$here/../cmake/wineprefix.sh" create "$prefix" || exit 1
trap '"$here/../cmake/wineprefix.sh" shutdown "$prefix"' EXIT

step "registering the server: Kelmo7.exe /RegServer"
$wine "$server" /RegServer; status=$?
printf '   exit code %d\n' $status
[ $status -eq 0 ] || exit 1

step "registering the sample hosted component (KelmoHosted.dll)"
$wine "$client" register-hosted "$hosted" || exit 1

$wine "$client" run; status=$?

step "unregistering: Kelmo7.exe /UnregServer and the sample component"
$wine "$server" /UnregServer
printf '   exit code %d\n' $?
$wine "$client" unregister-hosted "$hosted"

step "done in $(( $(date +%s) - started )) s"
exit $status
