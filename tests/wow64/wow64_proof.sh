#!/bin/sh
# The 32-bit files on a 64-bit platform (WoW64): registered from 32-bit
# processes, reached by 64-bit and 32-bit clients and scripts, and taken away
# again; then the 64-bit files reached by a 32-bit client. One step of the table
# below after the other, in a throwaway 64-bit prefix. Each step ends with a
# line "verdict: wow64.NAME passed|failed"; a step that cannot run fails.
#
# Usage: wow64_proof.sh --list | PREFIX WIN32_BUILD WIN64_BUILD
#   PREFIX       the 64-bit prefix to create, a folder that may be removed
#   WIN32_BUILD  the win32 build (build/win32), WIN64_BUILD the win64 one
# WINE64 and WINE32 name the 64-bit and 32-bit loaders (Debian's by default).
set -u
steps() {
  cat <<'EOF_STEPS'
register_server | 32-bit Kelmo7.exe /RegServer from a 32-bit process exits 0; the class is in the 32-bit view and not in the 64-bit one
register_component | the 32-bit sample component's registration, from a 32-bit process, succeeds
check_both | kelmo7-check of each bitness finds the 32-bit deployment whole: the class in the 32-bit view only, a 32-bit server, every check held
client64 | a 64-bit client reaches the component through a 32-bit Kelmo7.exe, which ends by itself
client32 | a 32-bit client does the same
unregister | the sample's unregistration and Kelmo7.exe /UnregServer from 32-bit leave both views as before
scripts | registered again, 64-bit and 32-bit cscript create Kelmo7_83.Kelmo and see an IKelmo
per_user | /RegServerPerUser from 32-bit writes the class under HKCU and of the machine's keys only the platform's record of IKelmo; /UnregServerPerUser leaves both views as before but for empty shared parents
other_cross_one_bitness | the 64-bit server and component registered from 64-bit: a 32-bit client reaches the host, but the component's interface has no marshaler of its bitness (E_NOINTERFACE), which the 32-bit kelmo7-check names; whether the server ends is recorded
other_cross | the component's type library registered from 32-bit as well: the 32-bit client reaches the 64-bit component; unregistered, both views as before
stub_win32_missing | the 32-bit server, its 32-bit component, and the component's library with a win64 entry but no win32 one: the 64-bit kelmo7-check fails it on the server's side (no stub for the 32-bit server)
EOF_STEPS
}
if [ "${1:-}" = --list ]; then
  steps | sed 's/ *|.*//; s/^/wow64./'
  exit 0
fi
usage() { echo "usage: wow64_proof.sh --list | PREFIX WIN32_BUILD WIN64_BUILD" >&2; exit 2; }
[ $# -eq 3 ] || usage
prefix=$1 b32=$(cd "$2" 2>/dev/null && pwd) b64=$(cd "$3" 2>/dev/null && pwd)
[ -n "$b32" ] && [ -n "$b64" ] && [ "${prefix#/}" != "$prefix" ] || usage
wine64=${WINE64:-/usr/lib/wine/wine64} wine32=${WINE32:-/usr/lib/wine/wine}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/registry_state.sh"
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
scratch=$(mktemp -d "${TMPDIR:-/tmp}/wow64-proof.XXXXXX") || exit 1
watchdog=$("$here/../../cmake/wineprefix.sh" watch "$prefix" $$ "$scratch")
trap 'kill "$watchdog" 2>/dev/null; "$here/../../cmake/wineprefix.sh" shutdown "$prefix"; rm -rf "$scratch"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
# bounded BITS PROGRAM ARG...: PROGRAM under the Wine of that bitness, ended
# with every process of the prefix when it has not ended within 300 s (the
# emulated machine is slow, a stuck step is stuck for ever), saying so on
# stderr; its status otherwise.
bounded() {
  bound_wine=$wine64; [ "$1" = 32 ] && bound_wine=$wine32
  bound_program=$2
  shift
  timeout --foreground -k 5 300 "$bound_wine" "$@"
  bound_status=$?
  [ "$bound_status" -eq 124 ] || [ "$bound_status" -eq 137 ] || return "$bound_status"
  echo "   ${bound_program##*/} did not end within 300 s" >&2
  timeout 60 wineserver -k
  return 124
}
# probe BITS WORD...: the installer probe of that bitness (from its build). Its
# output goes to a file: services that it starts would hold a pipe open.
probe() {
  bits=$1; shift
  build=$b64; [ "$bits" = 32 ] && build=$b32
  bounded "$bits" "$build/tests/installer/installer_probe.exe" "$@" </dev/null >"$scratch/probe" 2>/dev/null
  tr -d '\r' <"$scratch/probe"
}
# run BITS PROGRAM ARG...: PROGRAM of that build started by a process of that
# bitness, as an installer would; prints "exit N".
run() {
  bits=$1 program=$2; shift 2
  build=$b64; [ "$bits" = 32 ] && build=$b32
  probe "$bits" run "$(windows_path "$build/$program")" "$@"
}
expect() {
  [ "$2" = "$3" ] && return 0
  echo "   $1: expected $2, got ${3:-nothing}"
  return 1
}
# state NAME: the registry's snapshot NAME; a step whose snapshot cannot be
# taken fails, since two failed snapshots would compare equal.
state() { registry_state "$prefix" >"$scratch/$1" || { echo "   no snapshot of the registry ($1)"; return 1; }; }
# changes FROM TO: what TO holds that FROM did not (+) and the reverse (-).
changes() { sorted_changes "$scratch/$1" "$scratch/$2"; }
same_state() {
  state "$2" || return 1
  changes "$1" "$2" >"$scratch/diff"
  [ -s "$scratch/diff" ] || return 0
  echo "   the registry differs from $1:"
  head -40 "$scratch/diff" | sed 's/^/     /'
  return 1
}
# record FROM TO: the keys a step added (what docs/deploying.md reports).
record() { changes "$1" "$2" | sed -n 's/^+\[\([^]]*\)\]$/   added \1/p'; }
# The client's output goes to a file: a server left running would hold a pipe
# open (it inherits the client's handles).
client() {
  bits=$1; shift
  build=$b64; [ "$bits" = 32 ] && build=$b32
  bounded "$bits" "$build/tests/wow64/wow64_client.exe" "$@" </dev/null >"$scratch/client.out" 2>&1
  tr -d '\r' <"$scratch/client.out"
}
component() { run "$1" demo/kelmo_demo.exe "$2" "$(windows_path "$([ "$1" = 32 ] && echo "$b32" || echo "$b64")/hosted/KelmoHosted.dll")" | tail -n 1; }
server32() { windows_path "$b32/server/Kelmo7.exe"; }
same_path() { [ "$(echo "$1" | tr a-z A-Z)" = "$(echo "$2" | tr a-z A-Z)" ]; }

step_register_server() {
  state before || return 1
  expect "/RegServer" "exit 0" "$(run 32 server/Kelmo7.exe /RegServer)" || return 1
  state registered || return 1
  record before registered
  same_path "$(probe 64 server 32)" "$(server32)" || { echo "   32-bit view: $(probe 64 server 32)"; return 1; }
  expect "64-bit view" "not registered" "$(probe 64 server 64)"
}
step_register_component() { expect "register-hosted" "exit 0" "$(component 32 register-hosted)"; }
# check BITS ARG...: kelmo7-check of that build, its output and "exit N".
check() {
  bits=$1; shift
  build=$b64; [ "$bits" = 32 ] && build=$b32
  bounded "$bits" "$build/check/kelmo7-check.exe" "$@" </dev/null >"$scratch/check.out" 2>&1
  echo "exit $?" >>"$scratch/check.out"
  tr -d '\r' <"$scratch/check.out"
}
# has FILE TEXT: FILE holds the line TEXT, or says which line it lacks.
has() { grep -q -F -- "$2" "$1" || { echo "   no line with: $2"; return 1; }; }
step_check_both() {
  status=0
  for bits in 64 32; do
    check $bits | tee "$scratch/check-$bits" | sed 's/^/   /'
    has "$scratch/check-$bits" "exit 0" || status=1
    grep -q '^kelmo7-check: [0-9]* passed, 0 failed$' "$scratch/check-$bits" || { echo "   not every check held"; status=1; }
    has "$scratch/check-$bits" "in the 32-bit view" && has "$scratch/check-$bits" "not in the 64-bit view" || status=1
    has "$scratch/check-$bits" "runs as 32-bit" || status=1
  done
  return $status
}
# client_passes BITS ARG...: the client of that bitness, every check of it held.
client_passes() {
  client "$@" | tee "$scratch/client"
  ! grep -q FAILED "$scratch/client" && grep -q '^   \(ok: the server ends by itself\|fact: the server\)' "$scratch/client"
}
step_client64() { client_passes 64 32; }
step_client32() { client_passes 32 32; }
step_unregister() {
  expect "unregister-hosted" "exit 0" "$(component 32 unregister-hosted)" || return 1
  expect "/UnregServer" "exit 0" "$(run 32 server/Kelmo7.exe /UnregServer)" || return 1
  same_state before unregistered
}
step_scripts() {
  expect "/RegServer" "exit 0" "$(run 32 server/Kelmo7.exe /RegServer)" || return 1
  cat >"$prefix/drive_c/kelmo.vbs" <<'EOF_VBS'
Set o = CreateObject("Kelmo7_83.Kelmo")
WScript.Echo "TypeName=" & TypeName(o)
On Error Resume Next
o.NoSuchMember
WScript.Echo "unknown member: error " & Err.Number
EOF_VBS
  status=0
  for host in "$wine64 C:\\windows\\system32\\cscript.exe" "$wine32 C:\\windows\\syswow64\\cscript.exe"; do
    # shellcheck disable=SC2086
    out=$(timeout --foreground -k 5 300 $host //nologo 'C:\kelmo.vbs' </dev/null 2>/dev/null | tr -d '\r' | tr '\n' ' ')
    expect "${host##* }" "TypeName=IKelmo unknown member: error 438 " "$out" || status=1
  done
  # The servers the scripts started end by themselves once released.
  WINEPREFIX=$prefix timeout 30 wineserver -w ||
    { echo "   a Wine process still runs 30 s after the scripts ended"; wineserver -k; status=1; }
  expect "/UnregServer" "exit 0" "$(run 32 server/Kelmo7.exe /UnregServer)" || return 1
  return $status
}
# The record of IKelmo that the platform's RegisterTypeLib writes in the
# machine's 64-bit view, past the per-user redirection (the win64 build's
# hygiene test states the same for the other view), and the empty shared
# parents that a per-user unregistration leaves in a user's classes.
kIKelmoRecord='^[+]\[machine:Software\\\\Classes\\\\Interface\\\\{FBEA52A0-9F81-4C3E-B5CC-3D80ACA45079}[]\\]'
kEmptyParents='^[+]\[user:Software\\\\Classes\\\\(AppID|CLSID|Interface|Typelib)\]$'
step_per_user() {
  state before-per-user || return 1
  expect "/RegServerPerUser" "exit 0" "$(run 32 server/Kelmo7.exe /RegServerPerUser)" || return 1
  status=0
  state per-user || status=1
  record before-per-user per-user
  same_path "$(probe 64 server 32 user)" "$(server32)" || { echo "   HKCU, 32-bit view: $(probe 64 server 32 user)"; status=1; }
  changes before-per-user per-user | grep '^[-+]\[machine:' | grep -v -E "$kIKelmoRecord" >"$scratch/machine"
  [ ! -s "$scratch/machine" ] || { echo "   the machine's keys changed:"; head -20 "$scratch/machine"; status=1; }
  # Unregistered whatever the checks found, so that the next steps start clean.
  expect "/UnregServerPerUser" "exit 0" "$(run 32 server/Kelmo7.exe /UnregServerPerUser)" || return 1
  state per-user-gone || return 1
  changes before-per-user per-user-gone | grep -v -i -E "$kEmptyParents" >"$scratch/diff"
  [ ! -s "$scratch/diff" ] || { echo "   the registry differs from before-per-user:"; head -40 "$scratch/diff"; return 1; }
  return $status
}
step_other_cross_one_bitness() {
  state before-cross || return 1
  expect "64-bit /RegServer" "exit 0" "$(run 64 server/Kelmo7.exe /RegServer)" || return 1
  expect "64-bit register-hosted" "exit 0" "$(component 64 register-hosted)" || return 1
  client_passes 32 64 no-component
  status=$?
  # The server that the failed query left running; nothing else runs in this prefix now.
  wineserver -k
  check 32 --no-activate | tee "$scratch/check-cross" | sed 's/^/   /'
  has "$scratch/check-cross" "exit 1" || status=1
  has "$scratch/check-cross" "[FAIL] the component's interface {B4D3CD49-571B-11D4-83AA-0010A4EF9F79}, client's 32-bit view:" ||
    status=1
  has "$scratch/check-cross" "(docs/troubleshooting.md: E_NOINTERFACE (0x80004002) for the component's interface)" || status=1
  return $status
}
step_other_cross() {
  expect "32-bit register-hosted" "exit 0" "$(component 32 register-hosted)" || return 1
  client_passes 32 64 || return 1
  expect "32-bit unregister-hosted" "exit 0" "$(component 32 unregister-hosted)" || return 1
  expect "64-bit unregister-hosted" "exit 0" "$(component 64 unregister-hosted)" || return 1
  expect "64-bit /UnregServer" "exit 0" "$(run 64 server/Kelmo7.exe /UnregServer)" || return 1
  same_state before-cross cross-gone
}

# The fault a 64-bit check must not pass: the client's proxy is there, the
# 32-bit server's stub is not (a 32-bit process reads win32 alone).
step_stub_win32_missing() {
  expect "/RegServer" "exit 0" "$(run 32 server/Kelmo7.exe /RegServer)" || return 1
  expect "32-bit register-hosted" "exit 0" "$(component 32 register-hosted)" || return 1
  expect "64-bit register-hosted" "exit 0" "$(component 64 register-hosted)" || return 1
  for key in 'HKLM\Software\Classes\TypeLib' 'HKLM\Software\Classes\Wow6432Node\TypeLib'; do
    "$wine64" reg delete "$key\\{71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C}\\1.0\\0\\win32" /f </dev/null >/dev/null 2>&1
  done
  check 64 --no-activate | tee "$scratch/check-stub" | sed 's/^/   /'
  status=0
  has "$scratch/check-stub" "exit 1" || status=1
  has "$scratch/check-stub" "[FAIL] the component's interface {B4D3CD49-571B-11D4-83AA-0010A4EF9F79}, server's 32-bit view: library {71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C} 1.0 win32: no entry" ||
    status=1
  has "$scratch/check-stub" "(docs/troubleshooting.md: E_NOINTERFACE (0x80004002) for the component's interface)" || status=1
  # Taken away again whatever the check said; a failed unregistration of the
  # library that lacks its entry is not this step's verdict.
  component 64 unregister-hosted >/dev/null
  component 32 unregister-hosted >/dev/null
  expect "/UnregServer" "exit 0" "$(run 32 server/Kelmo7.exe /UnregServer)" || status=1
  return $status
}

passed=0 failed=0
"$here/../../cmake/wineprefix.sh" create "$prefix" || { echo "wow64_proof: cannot create the prefix"; }
steps >"$scratch/steps"
while IFS='|' read -r name expected; do
  name=$(echo $name)
  # KELMO_WOW64_STEPS, when set, names the only steps to run (for debugging).
  case " ${KELMO_WOW64_STEPS:-$name} " in *" $name "*) ;; *) continue ;; esac
  echo "== wow64.$name:$expected"
  started=$(date +%s)
  if [ -f "$prefix/system.reg" ] && "step_$name"; then
    passed=$((passed + 1)) verdict=passed
  else
    failed=$((failed + 1)) verdict=failed
  fi
  echo "verdict: wow64.$name $verdict ($(($(date +%s) - started)) s)"
done <"$scratch/steps"
echo "wow64_proof: $passed passed, $failed failed"
[ $failed -eq 0 ]
