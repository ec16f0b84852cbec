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
other_bits=32; [ "$platform" = win32 ] && other_bits=64
own_bits=64; [ "$platform" = win32 ] && own_bits=32
# A server registered in the other view still starts; its own view serves it.
check --no-activate >"$scratch/other_view"
verdict other_view "$(cat "$scratch/other_view")" 0 \
  "^\\[ ok \\] class, $other_bits-bit view: server .*Kelmo7.exe is a program for .*\\($own_bits-bit\\)\$" \
  "^\\[note\\] the activation uses the $other_bits-bit view's registration, which starts a $own_bits-bit server\$" \
  "^\\[ ok \\] component .*, server's $own_bits-bit view: ThreadingModel Apartment" \
  '^kelmo7-check: 11 passed, 0 failed$'
# The header, eleven checks, the note, the summary and the exit line.
verdict other_view_lines "$(grep -c '' "$scratch/other_view"; echo "exit 0")" 0 '^15$'
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
verdict threading_free "$(check --no-activate)" 1 '^\[FAIL\] component .* ThreadingModel Free: made in the multithreaded apartment, which refuses .*\(CLASS_E_NOAGGREGATION\)$' \
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
    "^\\[ ok \\] the component's interface .* 1.0 win32 \\(no win64 entry; a 64-bit process falls back to win32\\) .* loads"
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

deploy

# The healthy deployment's exact length: the header, sixteen checks, the
# summary and the exit line.
check >"$scratch/healthy"
verdict healthy_lines "$(grep -c '' "$scratch/healthy"; tail -n 1 "$scratch/healthy")" 0 '^19$'

interface="$classes\\Interface\\{B4D3CD49-571B-11D4-83AA-0010A4EF9F79}"
appid="$classes\\AppID\\{3DAB7F76-2BB8-4BAE-9DBE-7A1EA0A1735B}"
library="$classes\\TypeLib\\{71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C}"

# Single, like no value, is made in the main apartment: the server aggregates it.
reg add "$component" /v ThreadingModel /d Single /f
verdict threading_single "$(check)" 0 '^\[ ok \] component .* ThreadingModel Single: made in the server.s main apartment, aggregatable$' \
  "^\\[ ok \\] the component's interface through the host\$"
deploy

reg add "$component" /v ThreadingModel /d Neutral /f
verdict threading_neutral "$(check --no-activate)" 1 '^\[FAIL\] component .* ThreadingModel Neutral: made in the neutral apartment, which refuses .*\(CLASS_E_NOAGGREGATION\)$' \
  "$(entry 'The component not registered or not aggregatable')"
deploy

# An unquoted path with a blank that names a real file, without its .exe:
# the platform starts it, the check warns.
mkdir -p "$prefix/drive_c/Program Files/Kelmo 7"
cp "$build/server/Kelmo7.exe" "$prefix/drive_c/Program Files/Kelmo 7/Kelmo7.exe"
reg add "$class\\LocalServer32" /ve /d 'C:\Program Files\Kelmo 7\Kelmo7' /f
verdict unquoted_blank "$(check --no-activate)" 0 \
  '^\[warn\] class, .* LocalServer32 \(HKLM\) \[C:\\Program Files\\Kelmo 7\\Kelmo7\]: unquoted with a blank, starts C:\\Program Files\\Kelmo 7\\Kelmo7.exe$' \
  '^kelmo7-check: [0-9]+ passed, 0 failed, 1 of the passed with a warning$'
deploy

# A bare name, without its .exe, is looked up as CreateProcess looks it up
# from the launcher: in the system folder, not in the check's folder. (Under
# Wine the activation of a program that never publishes the class returned
# at once, so this does not hold a step.)
reg add "$class\\LocalServer32" /ve /d 'ping -n 30 127.0.0.1' /f
verdict bare_name "$(check --bound 4)" 1 \
  '^\[ ok \] class, .* server C:\\windows\\system32\\ping.exe is a program for (x64|x86) ' \
  '^\[FAIL\] activation out of process: 0x'
deploy

# Advertised: a Windows Installer descriptor and no default value.
reg delete "$class\\LocalServer32" /ve /f
reg add "$class\\LocalServer32" /v LocalServer32 /t REG_MULTI_SZ /d 'w_DescriptorOfKelmo7' /f
verdict advertised "$(check)" 0 '^\[ ok \] class, .* LocalServer32: advertised, a Windows Installer descriptor$' \
  '^\[note\] activation skipped: the class is advertised'
deploy

# The values that redirect an activation.
reg add "$class\\TreatAs" /ve /d '{0002DF01-0000-0000-C000-000000000046}' /f
reg add "$class\\LocalServer32" /ve /d 'C:\Dravix\gone\Kelmo7.exe' /f
reg add "$class\\LocalServer32" /v ServerExecutable /d "$(windows_path "$build/server/Kelmo7.exe")" /f
reg add "$appid" /v LocalService /d KelmoService /f
reg add "$appid" /v PreferredServerBitness /t REG_DWORD /d 2 /f
verdict redirections "$(check --no-activate)" 0 \
  '^\[warn\] class, .* TreatAs \(HKLM\) \{0002DF01-0000-0000-C000-000000000046\}: the platform activates that class instead' \
  '^\[ ok \] class, .* ServerExecutable \(HKLM\) \[.*Kelmo7.exe\]: started with the default value as its command line$' \
  '^\[warn\] class, .* AppID \(HKLM\) .*; PreferredServerBitness 2 \(HKLM\); LocalService \[KelmoService\] \(HKLM\): the platform starts that service, not LocalServer32$'
reg delete "$class\\TreatAs" /f
reg delete "$appid" /v LocalService /f
reg delete "$appid" /v PreferredServerBitness /f
deploy

# A later minor version of the library serves the one asked for.
reg copy "$library\\1.0" "$library\\1.2" /s /f
reg delete "$library\\1.0" /f
verdict library_later_minor "$(check --no-activate)" 0 \
  "^\\[ ok \\] the component's interface .* library \\{71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C\\} 1.2 \\(for 1.0\\) $platform .* loads"
reg delete "$library\\1.2" /f
deploy

reg add "$interface\\ProxyStubClsid32" /ve /d 'not-a-guid' /f
verdict proxy_not_guid "$(check --no-activate)" 1 "^\\[FAIL\\] the component's interface .* ProxyStubClsid32 \\[not-a-guid\\]: not a GUID\$"
deploy

# The 32-bit server for a 64-bit client, its component and its library
# registered as a 64-bit registration alone leaves them (win64, no win32):
# the client's end has its proxy, the server's end has no stub.
if [ "$platform" = win64 ]; then
  reg copy "$class" "$other_view" /s /f
  reg delete "$class" /f
  reg add "$other_view\\LocalServer32" /ve /d "$(windows_path "$win32/server/Kelmo7.exe")" /f
  reg add "HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\{B4D3CD47-571B-11D4-83AA-0010A4EF9F79}\\InprocServer32" /ve \
    /d "$(windows_path "$win32/hosted/KelmoHosted.dll")" /f
  reg add "HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\{B4D3CD47-571B-11D4-83AA-0010A4EF9F79}\\InprocServer32" \
    /v ThreadingModel /d Apartment /f
  reg delete "$component_library\\win32" /f
  reg delete "HKLM\\Software\\Classes\\Wow6432Node\\TypeLib\\{71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C}\\1.0\\0\\win32" /f
  verdict stub_win32_missing "$(check --no-activate)" 1 \
    "^\\[ ok \\] the component's interface .*, client's 64-bit view: library .* win64 .* loads" \
    "^\\[FAIL\\] the component's interface .*, server's 32-bit view: library \\{71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C\\} 1.0 win32: no entry\$" \
    "$(entry "E_NOINTERFACE \\(0x80004002\\) for the component's interface")"
  reg delete "$other_view" /f
  reg delete "HKLM\\Software\\Classes\\Wow6432Node\\CLSID\\{B4D3CD47-571B-11D4-83AA-0010A4EF9F79}" /f
  deploy
fi

# The component's path as the server's LoadLibrary takes it: a bare name
# from the system folder, and %ProgramFiles% as a process of the server's
# bitness expands it.
cp "$build/hosted/KelmoHosted.dll" "$prefix/drive_c/windows/system32/KelmoHostedBare.dll"
reg add "$component" /ve /d 'KelmoHostedBare.dll' /f
verdict component_bare_name "$(check --no-activate)" 0 \
  '^\[ ok \] component .* InprocServer32 \(HKLM\) \[KelmoHostedBare.dll\], loaded as C:\\windows\\system32\\KelmoHostedBare.dll is a DLL for '
mkdir -p "$prefix/drive_c/Program Files/Kelmo Hosted"
cp "$build/hosted/KelmoHosted.dll" "$prefix/drive_c/Program Files/Kelmo Hosted/KelmoHosted.dll"
reg add "$component" /ve /t REG_EXPAND_SZ /d '%ProgramFiles%\Kelmo Hosted\KelmoHosted.dll' /f
verdict component_program_files "$(check --no-activate)" 0 \
  '^\[ ok \] component .* InprocServer32 \(HKLM\) C:\\Program Files\\Kelmo Hosted\\KelmoHosted.dll is a DLL for '
deploy

# A step that outlasts its bound: one second for the activation, which costs
# Wine more than that. The check gives up there, names the activation's entry
# and ends with 1; a server it started is ended by the next deployment.
verdict step_bound "$(check --bound 1)" 1 '^\[FAIL\] activation out of process: no answer within 1 s' \
  "$(entry 'CO_E_SERVER_EXEC_FAILURE \(0x80080005\) at activation')"
deploy

echo "check cases: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
