# Sourced by the checks that break a deployment of a build's own files on
# purpose, one way a case, in a throwaway prefix.
#
# deployment_prefix WINE PREFIX BUILD NAME: sets $wine, $prefix, $build (made
# absolute) and $scratch (a temp folder named after NAME), creates the prefix,
# and removes both when the caller exits. Fails on a bad argument.
deployment_prefix() {
  wine=$1 prefix=$2 build=$(cd "$3" 2>/dev/null && pwd)
  [ -n "$build" ] && [ "${prefix#/}" != "$prefix" ] || { echo "BUILD must exist and PREFIX be absolute" >&2; exit 2; }
  support=$(cd "$(dirname "$0")/../support" && pwd)
  export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/$4.XXXXXX") || exit 1
  trap '"$support/../../cmake/wineprefix.sh" shutdown "$prefix"; rm -rf "$scratch"' EXIT
  "$support/../../cmake/wineprefix.sh" create "$prefix" || exit 1
}

classes='HKLM\Software\Classes'
class="$classes\\CLSID\\{E187855A-54CC-40CB-85F7-7B63330900A0}"
component="$classes\\CLSID\\{B4D3CD47-571B-11D4-83AA-0010A4EF9F79}\\InprocServer32"
component_library="$classes\\TypeLib\\{71B86CCF-B4BE-44C9-A766-00F0A2AFDC7C}"

windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
reg() { "$wine" reg "$@" </dev/null >/dev/null 2>&1; }
hosted() { "$wine" "$build/demo/kelmo_demo.exe" "$1" "$(windows_path "$build/hosted/KelmoHosted.dll")" >/dev/null 2>&1 </dev/null; }
# deploy: the server and the sample component registered, once the processes
# of the case before have ended (a deployment beside them failed once in a
# fresh root); a step that fails ends the check, naming the step.
deploy() {
  timeout 60 wineserver -w
  "$wine" "$build/server/Kelmo7.exe" /RegServer </dev/null >/dev/null 2>&1 ||
    { echo "cannot deploy: Kelmo7.exe /RegServer exited $?" >&2; exit 1; }
  hosted register-hosted || { echo "cannot deploy: the sample component's registration exited $?" >&2; exit 1; }
}
