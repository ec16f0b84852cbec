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
. "$(dirname "$0")/../support/deployment.sh"
deployment_prefix "$1" "$2" "$3" troubleshooting

# run PROGRAM ARG...: "exit 0x........", the whole 32-bit exit code (a Wine
# process's Unix status keeps 8 bits). The probe's output goes to a file: the
# prefix's services, when the probe is what starts them, would hold a pipe
# open past the bound.
run() {
  program=$1
  shift
  bounded 60 "${program##*/} $*" "$wine" "$build/tests/installer/installer_probe.exe" run \
    "$(windows_path "$program")" "$@" </dev/null >"$scratch/run" 2>/dev/null
  line=$(tr -d '\r' <"$scratch/run")
  case $line in
    "exit "*) printf 'exit 0x%08X\n' "${line#exit }" ;;
    *) printf '%s\n' "$line" ;;
  esac
}
server() { run "$build/server/Kelmo7.exe" "$@"; }
# The client's output goes to a file, a line as each step ends, so that one
# that runs out shows how far it got; and a server it started would hold a
# pipe.
client() {
  : >"$scratch/client"
  last_line_of=$scratch/client
  bounded 60 "the client" \
    "$wine" "$build/tests/troubleshooting/troubleshooting_client.exe" "$1" </dev/null >"$scratch/client" 2>&1
  tr -d '\r' <"$scratch/client"
}

passed=0 failed=0
# entry NAME EXPECTED OUTPUT: the entry holds when OUTPUT has the line EXPECTED
# and none of its steps failed or ran out.
entry() {
  printf '%s\n' "$3" | sed 's/^/   /'
  if reason=$(case_outcome); then
    failed=$((failed + 1))
    echo "verdict: troubleshooting.$1 failed: $reason"
  elif printf '%s\n' "$3" | grep -qxF "$2"; then
    passed=$((passed + 1))
    echo "verdict: troubleshooting.$1 passed"
  else
    failed=$((failed + 1))
    echo "verdict: troubleshooting.$1 failed: expected \"$2\""
  fi
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
