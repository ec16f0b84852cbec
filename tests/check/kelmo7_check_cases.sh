#!/bin/sh
# kelmo7-check against deployments of the build's own files, each broken in
# one way in a throwaway prefix: the healthy one passes, and for each broken
# one the check exits 1 and names the cause on a failing line, with the
# troubleshooting page's entry for it. Every case starts from a whole
# deployment (the server and the sample component registered) and puts it
# back. Each case ends with "verdict: check.NAME passed|failed", the whole with
# "check cases: N passed, M failed".
#
# Usage: kelmo7_check_cases.sh WINE PREFIX BUILD WIN32BUILD
#   WINE        the build's Wine (/usr/lib/wine/wine64 here)
#   PREFIX      the prefix to create, a folder that may be removed
#   BUILD       the build folder whose programs are deployed and checked
#   WIN32BUILD  the win32 build folder, for a component of the other bitness
set -u
[ $# -eq 4 ] || { echo "usage: kelmo7_check_cases.sh WINE PREFIX BUILD WIN32BUILD" >&2; exit 2; }
. "$(dirname "$0")/../support/deployment.sh"
deployment_prefix "$1" "$2" "$3" kelmo7-check
win32=$(cd "$4" 2>/dev/null && pwd)
[ -n "$win32" ] || { echo "WIN32BUILD must exist" >&2; exit 2; }
component_library="$component_library\\1.0\\0"
# The platform's key of a build's own bitness in a type library's entry.
case $(/usr/bin/python3 -c 'import pefile,sys; print(hex(pefile.PE(sys.argv[1], fast_load=True).FILE_HEADER.Machine))' \
  "$build/check/kelmo7-check.exe") in
  0x8664) platform=win64 ;;
  *) platform=win32 ;;
esac

server() { bounded 60 "Kelmo7.exe $*" "$wine" "$build/server/Kelmo7.exe" "$@" </dev/null >/dev/null 2>&1; }
# check ARG...: the check's output, then "exit N". Its output goes to a file,
# a line as each check ends, so that a check that runs out shows how far it
# got; and a server it started would hold a pipe.
check() {
  : >"$scratch/check"
  last_line_of=$scratch/check
  bounded 120 "kelmo7-check${*:+ $*}" \
    "$wine" "$build/check/kelmo7-check.exe" "$@" </dev/null >"$scratch/check" 2>&1
  status=$?
  tr -d '\r' <"$scratch/check"
  echo "exit $status"
}

passed=0 failed=0
# verdict NAME OUTPUT EXIT PATTERN...: the case holds when the check exited
# EXIT, OUTPUT has a line matching each PATTERN (grep -E), and none of the
# case's steps failed or ran out.
verdict() {
  name=$1 output=$2 expected_exit=$3
  shift 3
  printf '%s\n' "$output" | sed 's/^/   /'
  missing=
  printf '%s\n' "$output" | grep -qx "exit $expected_exit" || missing="exit $expected_exit"
  for pattern in "$@"; do
    printf '%s\n' "$output" | grep -qE -- "$pattern" || missing="$missing${missing:+; }$pattern"
  done
  if reason=$(case_outcome); then
    failed=$((failed + 1))
    echo "verdict: check.$name failed: $reason"
  elif [ -z "$missing" ]; then
    passed=$((passed + 1))
    echo "verdict: check.$name passed"
  else
    failed=$((failed + 1))
    echo "verdict: check.$name failed: missing $missing"
  fi
}
# The troubleshooting page's entry named under a failure.
entry() { printf '^       -> .*\\(docs/troubleshooting.md: %s\\)$' "$1"; }

deploy
verdict healthy "$(check)" 0 '^kelmo7-check: [1-9][0-9]* passed, 0 failed$' '^\[ ok \] activation out of process' \
  '^\[ ok \] the server ended by itself'

# The server's class, moved to the view of the other bitness.
other_view='HKLM\Software\Classes\Wow6432Node\CLSID\{E187855A-54CC-40CB-85F7-7B63330900A0}'
[ "$platform" = win32 ] && other_view='HKLM\Software\Classes\CLSID\{E187855A-54CC-40CB-85F7-7B63330900A0}'
reg copy "$class" "$other_view" /s /f
reg delete "$class" /f
verdict other_view "$(check --no-activate)" 1 '^\[FAIL\] class, (32|64)-bit view: names a (32|64)-bit server: registered in the other view$' \
  "$(entry 'REGDB_E_CLASSNOTREG \(0x80040154\) at activation')"
reg delete "$other_view" /f
deploy

reg add "$class\\LocalServer32" /ve /d 'C:\Dravix\gone\Kelmo7.exe' /f
verdict server_file_missing "$(check)" 1 '^\[FAIL\] class, .* server C:\\Dravix\\gone\\Kelmo7.exe: 0x80070003 ERROR_PATH_NOT_FOUND$' \
  '^\[FAIL\] activation out of process: 0x800700' "$(entry 'CO_E_SERVER_EXEC_FAILURE \(0x80080005\) at activation')"
deploy

hosted unregister-hosted
verdict component_not_registered "$(check --no-activate)" 1 '^\[FAIL\] component .* InprocServer32: no such key$' \
  "$(entry 'The component not registered or not aggregatable')"
deploy

reg add "$component" /ve /d "$(windows_path "$win32/hosted/KelmoHosted.dll")" /f
verdict component_other_bitness "$(check --no-activate)" 1 '^\[FAIL\] component .* is a DLL for x86 \(32-bit\), not a 64-bit DLL$' \
  "$(entry 'The component not registered or not aggregatable')"
deploy

reg add "$component" /v ThreadingModel /d Free /f
verdict threading_free "$(check --no-activate)" 1 '^\[FAIL\] component .* ThreadingModel Free: the single-threaded server cannot aggregate it$' \
  "$(entry 'The component not registered or not aggregatable')"
deploy

reg delete "$component_library\\$platform" /f
verdict library_entry_missing "$(check --no-activate)" 1 "^\\[FAIL\\] the component's interface .* library \\{71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C\\} 1.0 $platform: no entry$" \
  "$(entry "E_NOINTERFACE \\(0x80004002\\) for the component's interface")"
deploy

# A 64-bit client whose library entry is win32 only, as a 32-bit component's
# own registration leaves it: the check names the fallback and passes.
if [ "$platform" = win64 ]; then
  reg copy "$component_library\\win64" "$component_library\\win32" /s /f
  reg delete "$component_library\\win64" /f
  verdict library_win32_fallback "$(check)" 0 '^kelmo7-check: [1-9][0-9]* passed, 0 failed$' \
    "^\\[ ok \\] the component's interface .* 1.0 win32 \\(no win64 entry; a 64-bit client falls back to win32\\) .* loads"
  reg delete "$component_library\\win32" /f
  deploy
fi

reg add "$class\\LocalServer32" /ve /t REG_DWORD /d 7 /f
verdict value_wrong_type "$(check --no-activate)" 1 '^\[FAIL\] class, .* LocalServer32: a value of type 4 \(REG_DWORD\), not a string$' \
  "$(entry 'CO_E_SERVER_EXEC_FAILURE \(0x80080005\) at activation')"
deploy

# A 100 KB path, written through a registry file (a command line cannot hold it).
long=$(head -c 102400 /dev/zero | tr '\0' x)
printf 'REGEDIT4\r\n\r\n[%s]\r\n@="%s"\r\n' "$component" "$long" >"$scratch/long.reg"
reg import "$(windows_path "$scratch/long.reg")"
verdict value_too_long "$(check --no-activate)" 1 '^\[FAIL\] component .* InprocServer32: a value of [0-9]+ bytes, far too long for a path$' \
  "$(entry 'The component not registered or not aggregatable')"

echo "check cases: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
