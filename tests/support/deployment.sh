# Sourced by the checks that break a deployment of a build's own files on
# purpose, one way a case, in a throwaway prefix.
#
# deployment_prefix WINE PREFIX BUILD NAME: sets $wine, $prefix, $build (made
# absolute) and $scratch (a temp folder named after NAME), creates the prefix,
# and removes both when the caller exits, however it exits. Fails on a bad
# argument.
#
# Every Wine step of a check runs through bounded: a step that runs out fails
# the case in progress with what it was doing (case_failure), its processes and
# the prefix's are ended, and the check goes on with the next case. The whole
# check has check_budget seconds, well inside CTest's 600.
check_budget=480
deployment_prefix() {
  wine=$1 prefix=$2 build=$(cd "$3" 2>/dev/null && pwd)
  [ -n "$build" ] && [ "${prefix#/}" != "$prefix" ] || { echo "BUILD must exist and PREFIX be absolute" >&2; exit 2; }
  support=$(cd "$(dirname "$0")/../support" && pwd)
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  check_deadline=$(($(date +%s) + check_budget))
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/$4.XXXXXX") || exit 1
  watchdog=$("$support/../../cmake/wineprefix.sh" watch "$prefix" $$ "$scratch")
  trap 'kill "$watchdog" 2>/dev/null; "$support/../../cmake/wineprefix.sh" shutdown "$prefix"; rm -rf "$scratch"' EXIT
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
  "$support/../../cmake/wineprefix.sh" create "$prefix" || exit 1
}

# case_failure TEXT: the case in progress fails, its first failure naming why.
case_failure() { [ -s "$scratch/failure" ] || printf '%s\n' "$1" >"$scratch/failure"; }
# case_outcome: prints why the case in progress failed, if it did, and starts
# the next case clean; true when it failed.
case_outcome() {
  [ -s "$scratch/failure" ] || return 1
  cat "$scratch/failure"
  rm -f "$scratch/failure"
}

# prefix_processes: the programs that run in the prefix now, by name, on one
# line (every Wine process of the prefix has it in its environment).
prefix_processes() {
  grep -lsxzF "WINEPREFIX=$prefix" /proc/[0-9]*/environ | while read -r environ; do
    { tr '\0' '\n' <"${environ%/environ}/cmdline"; } 2>/dev/null | head -n 1 | tr '\\' / | sed 's|.*/||'
  done | grep -iE '\.exe$|^wineserver' | sort -u | tr '\n' ' ' | sed 's/ $//'
}

# bounded SECONDS WHAT COMMAND...: runs COMMAND for at most SECONDS, or what
# is left of the check's budget. A step that runs out fails the case as "WHAT
# did not end within N s", with the last line of the file $last_line_of when
# that is set (for this call only) and what ran in the prefix; its processes and every Wine process of the prefix are ended,
# so that the next case starts from a prefix with nothing running. Returns
# COMMAND's status, 124 when it ran out.
bounded() {
  bound_limit=$1 bound_what=$2 bound_lines=${last_line_of:-}
  last_line_of=
  shift 2
  bound_left=$((check_deadline - $(date +%s)))
  [ "$bound_left" -lt "$bound_limit" ] && bound_limit=$bound_left
  if [ "$bound_limit" -le 0 ]; then
    case_failure "not run: the check's $check_budget s were spent before $bound_what"
    return 124
  fi
  bound_started=$(date +%s)
  timeout --foreground -k 5 "$bound_limit" "$@"
  bound_status=$?
  # timeout's own codes, told from a program's by the time it took.
  [ "$bound_status" -eq 124 ] || [ "$bound_status" -eq 137 ] || return "$bound_status"
  [ $(($(date +%s) - bound_started)) -ge "$bound_limit" ] || return "$bound_status"
  bound_reason="$bound_what did not end within $bound_limit s"
  if [ -n "$bound_lines" ]; then
    bound_last=$(tr -d '\r' <"$bound_lines" 2>/dev/null | sed '/^$/d' | tail -n 1)
    bound_reason="$bound_reason (last line: \"${bound_last:-none yet}\")"
  fi
  case_failure "$bound_reason; running in the prefix: $(prefix_processes)"
  timeout 60 wineserver -k 2>/dev/null
  return 124
}

classes='HKLM\Software\Classes'
class="$classes\\CLSID\\{E187855A-54CC-40CB-85F7-7B63330900A0}"
component="$classes\\CLSID\\{B4D3CD47-571B-11D4-83AA-0010A4EF9F79}\\InprocServer32"
component_library="$classes\\TypeLib\\{71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C}"

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
reg() { bounded 60 "reg $1" "$wine" reg "$@" </dev/null >/dev/null 2>&1; }
hosted() {
  bounded 60 "kelmo_demo $1" "$wine" "$build/demo/kelmo_demo.exe" "$1" "$(windows_path "$build/hosted/KelmoHosted.dll")" \
    >/dev/null 2>&1 </dev/null
}
# deploy: the server and the sample component registered, once the processes
# of the case before have ended (a deployment beside them failed once in a
# fresh root). A step that fails or runs out fails the next case, naming the
# step.
deploy() {
  if ! timeout --foreground 60 wineserver -w; then
    case_failure "cannot deploy: processes of the case before still ran after 60 s: $(prefix_processes)"
    timeout 60 wineserver -k 2>/dev/null
  fi
  bounded 60 "the deployment's Kelmo7.exe /RegServer" "$wine" "$build/server/Kelmo7.exe" /RegServer \
    </dev/null >/dev/null 2>&1
  status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 124 ] || case_failure "cannot deploy: Kelmo7.exe /RegServer exited $status"
  hosted register-hosted
  status=$?
  [ "$status" -eq 0 ] || [ "$status" -eq 124 ] ||
    case_failure "cannot deploy: the sample component's registration exited $status"
}
