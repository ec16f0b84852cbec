#!/bin/sh
# The failures that docs/troubleshooting.md describes, each made on purpose in
# a deployment of the build's own files that is broken in one way, in a
# throwaway prefix; each entry compares the code the page names with the code
# that the client or the command line got. Every entry starts from a whole
# deployment (the server and the sample component registered) and puts it back.
# Each entry ends with "verdict: troubleshooting.NAME passed|failed", the whole
# with "troubleshooting: N passed, M failed".
#
# Usage: troubleshooting_check.sh WINE PREFIX BUILD
#   WINE    the build's Wine (/usr/lib/wine/wine64 here)
#   PREFIX  the prefix to create, a folder that may be removed
#   BUILD   the build folder whose programs are deployed (build/win64)
set -u
[ $# -eq 3 ] || { echo "usage: troubleshooting_check.sh WINE PREFIX BUILD" >&2; exit 2; }
wine=$1 prefix=$2 build=$(cd "$3" 2>/dev/null && pwd)
[ -n "$build" ] && [ "${prefix#/}" != "$prefix" ] || { echo "BUILD must exist and PREFIX be absolute" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
scratch=$(mktemp -d "${TMPDIR:-/tmp}/troubleshooting.XXXXXX") || exit 1
trap '"$here/../../cmake/wineprefix.sh" shutdown "$prefix"; rm -rf "$scratch"' EXIT
"$here/../../cmake/wineprefix.sh" create "$prefix" || exit 1

classes='HKLM\Software\Classes'
class="$classes\\CLSID\\{E187855A-54CC-40CB-85F7-7B63330900A0}"
component_library="$classes\\TypeLib\\{71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C}"

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
# run PROGRAM ARG...: "exit 0x........", the whole 32-bit exit code (a Wine
# process's Unix status keeps 8 bits).
run() {
  program=$1
  shift
  line=$("$wine" "$build/tests/installer/installer_probe.exe" run "$(windows_path "$program")" "$@" </dev/null 2>/dev/null |
    tr -d '\r')
  case $line in
    "exit "*) printf 'exit 0x%08X\n' "${line#exit }" ;;
    *) printf '%s\n' "$line" ;;
  esac
}
server() { run "$build/server/Kelmo7.exe" "$@"; }
hosted() { "$wine" "$build/demo/kelmo_demo.exe" "$1" "$(windows_path "$build/hosted/KelmoHosted.dll")" >/dev/null 2>&1 </dev/null; }
# The client's output goes to a file: a server it started would hold a pipe.
client() {
  "$wine" "$build/tests/troubleshooting/troubleshooting_client.exe" "$1" </dev/null >"$scratch/client" 2>&1
  tr -d '\r' <"$scratch/client"
}
reg() { "$wine" reg "$@" </dev/null >/dev/null 2>&1; }

passed=0 failed=0
# entry NAME EXPECTED OUTPUT: the entry holds when OUTPUT has the line EXPECTED.
entry() {
  printf '%s\n' "$3" | sed 's/^/   /'
  if printf '%s\n' "$3" | grep -qxF "$2"; then
    passed=$((passed + 1))
    echo "verdict: troubleshooting.$1 passed"
  else
    failed=$((failed + 1))
    echo "verdict: troubleshooting.$1 failed: expected \"$2\""
  fi
}
# A whole deployment, or the entries after it mean nothing.
deploy() {
  [ "$(server /RegServer)" = "exit 0x00000000" ] && hosted register-hosted ||
    { echo "cannot deploy the server and the sample component" >&2; exit 1; }
}

deploy
entry deployed "call 0x00000000" "$(client reach)"

reg delete "$class" /f
entry class_deleted "activation 0x80040154" "$(client reach)"
deploy

server /UnregServer >/dev/null
server /RegServerPerUser >/dev/null
entry class_per_user "activation 0x80040154" "$(client reach)"
server /UnregServerPerUser >/dev/null
deploy

# Wine gives the file's own error, and for a program that never registers the
# class (here one that ends at once) E_NOINTERFACE, where Windows documents
# CO_E_SERVER_EXEC_FAILURE.
reg add "$class\\LocalServer32" /ve /d 'C:\Dravix\gone\Kelmo7.exe' /f
entry server_file_missing "activation 0x80070002" "$(client reach)"
reg add "$class\\LocalServer32" /ve /d 'C:\windows\system32\hostname.exe' /f
entry server_not_serving "activation 0x80004002" "$(client reach)"
deploy

hosted unregister-hosted
# The host's own code does not reach the client: a failed remote query is E_NOINTERFACE.
entry component_not_registered "component 0x80004002" "$(client reach)"
deploy

reg delete "$component_library" /f
entry no_marshaler "component 0x80004002" "$(client reach)"
deploy

entry server_gone "call 0x800706BA" "$(client gone)"

entry malformed_script "exit 0x80020009" "$(run "$build/tests/registration/Kelmo7_malformed.exe" /RegServer)"
server /UnregServer >/dev/null

entry tollan_no_name "exit 0xFFFFFFFF" "$(run "$build/tollan/tollan.exe")"
entry tollan_two_names "exit 0xFFFFFFFF" "$(run "$build/tollan/tollan.exe" 'C:\a.txt' 'C:\b.txt')"

echo "troubleshooting: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
