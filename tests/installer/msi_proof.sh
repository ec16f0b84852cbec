#!/bin/sh
# The demo package (make msi) installed, used, repaired and removed by Windows
# Installer under Wine, one step of the table below after the other, in a
# throwaway prefix. Each step ends with a line "verdict: msi.NAME passed|failed"
# and the whole with "msi_proof: N passed, M failed"; a step that cannot run
# counts as failed.
#
# Usage: msi_proof.sh --list | WINE PREFIX VIEW PROBE PACKAGE FAILING LATER_FAILING CLIENT
#   --list         the names of the steps that count, one a line
#   WINE           the Wine that runs msiexec, the probe and the client
#                  (/usr/lib/wine/wine64 here; the WoW64 guest's wine)
#   PREFIX         the prefix to create, a folder that may be removed
#   VIEW           64: a 64-bit package (Program Files, 64-bit registry view);
#                  32: a 32-bit one (Program Files (x86), 32-bit view)
#   PROBE          tests/installer/installer_probe.exe of a build WINE runs
#   PACKAGE        the demo package
#   FAILING        the same with a Kelmo7.exe whose /RegServer fails
#   LATER_FAILING  the same with a deferred action failing after /RegServer
#                  (the update packages of make_packages.sh are beside PACKAGE)
#   CLIENT         a demo client from outside the package: in the WoW64 guest
#                  the 64-bit one for the 32-bit package (here one of the same
#                  bitness, since this machine runs no 32-bit code)

# kind | name | what is expected. A step passes or fails; a fact records what
# the platform does where our part cannot be shown, and is not counted.
steps() {
  cat <<'EOF'
step | install | msiexec /i exits 0; the four files are in the package's folder; LocalServer32 in the package's view names the installed Kelmo7.exe; the other view has no class
step | client | the installed demo client reaches the sample component through the installed server, which ends by itself with exit code 0
step | other_client | so does CLIENT
fact | fa_repair | msiexec /fa PACKAGE, as Windows documents it for a repair
step | repair | with the registration removed by hand, a repair (REINSTALL=ALL REINSTALLMODE=a, what /fa sets) exits 0 and the client works again
step | uninstall | msiexec /x exits 0; both registry views and drive C: are as before the install
step | failing_registration | with a Kelmo7.exe whose /RegServer fails: msiexec exits 1603 (Wine: 1627); both views and drive C: are as before
fact | later_failure | a deferred action fails after a good /RegServer: what msiexec leaves
step | upgrade_early | over PACKAGE, upgrade-early.msi (another ProductCode, RemoveExistingProducts before InstallInitialize) exits 0; one product installed; the class in the package's view only, naming the installed Kelmo7.exe, which is 8.3.1203.0; both clients reach the component
step | uninstall_early | msiexec /x upgrade-early.msi exits 0; both views and drive C: as before the first install
step | upgrade_late | the same with upgrade-late.msi (RemoveExistingProducts after InstallFinalize)
fact | nested_removal | what the late upgrade's log says of the old product's removal, and the products Windows Installer lists under the UpgradeCode after it
step | uninstall_late | msiexec /x upgrade-late.msi exits 0; both views and drive C: as before the first install
step | downgrade | with upgrade-late.msi installed on its own, PACKAGE (the first version, as make msi builds it) is refused: msiexec exits 1603, the rule's action ran on the newer product; nothing changed
fact | downgrade_message | the refusal's message in msiexec's log
step | uninstall_downgrade | msiexec /x upgrade-late.msi exits 0; both views and drive C: as before the first install
step | minor_update | over PACKAGE, minor-update.msi (same ProductCode, higher version) with REINSTALL=ALL REINSTALLMODE=vomus exits 0; one product installed; the class as after the upgrades, Kelmo7.exe 8.3.1203.0; both clients reach the component
step | uninstall_minor | msiexec /x minor-update.msi exits 0; both views and drive C: as before the first install
EOF
}

set -u
if [ "${1:-}" = --list ]; then
  steps | sed -n 's/^step *| *\([a-z_]*\).*/msi.\1/p'
  exit 0
fi
wine=$1 prefix=$2 view=$3 probe=$4 package=$5 failing=$6 later_failing=$7 other_client=$8
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/registry_state.sh"
export WINEPREFIX=$prefix WINEDEBUG=-all

case $view in
  64) folder="Program Files" other=32 ;;
  32) folder="Program Files (x86)" other=64 ;;
  *) echo "VIEW is 64 or 32, not '$view'" >&2; exit 2 ;;
esac
installed="C:\\$folder\\Kelmo7 Demo"
unix_installed="$prefix/drive_c/$folder/Kelmo7 Demo"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/msi-proof.XXXXXX") || exit 1
watchdog=$("$here/../../cmake/wineprefix.sh" watch "$prefix" $$ "$scratch")
trap 'kill "$watchdog" 2>/dev/null; "$here/../../cmake/wineprefix.sh" shutdown "$prefix"; rm -rf "$scratch"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

windows_path() { printf 'Z:%s' "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")" | tr / '\\'; }
# A probe run (an msiexec run included) that has not ended within 300 s is
# stuck: it is ended with the prefix's processes, and says so on stderr. Its
# output goes to a file: a service it started would hold a pipe.
probe() {
  timeout --foreground -k 5 300 "$wine" "$probe" "$@" </dev/null >"$scratch/probe" 2>/dev/null
  probe_status=$?
  tr -d '\r' <"$scratch/probe"
  [ $probe_status -eq 124 ] || [ $probe_status -eq 137 ] || return 0
  echo "   installer_probe $* did not end within 300 s" >&2
  timeout 60 wineserver -k
}
# msiexec's whole exit code: the Unix status of a Wine process keeps 8 bits.
msiexec() { probe run msiexec "$@" /qn | sed -n 's/^exit //p'; }
expect() {
  [ "$2" = "$3" ] && return 0
  echo "   $1: expected $2, got ${3:-nothing}"
  return 1
}
same_path() { [ "$(echo "$1" | tr a-z A-Z)" = "$(echo "$2" | tr a-z A-Z)" ]; }
# Both registry views and every file and folder of drive C: with its size,
# sorted.
state() {
  registry_state "$prefix" >"$scratch/$1.registry"
  (cd "$prefix/drive_c" && find . \( -type d -printf 'folder %p\n' \) -o -printf 'file %p %s\n') |
    LC_ALL=C sort >"$scratch/$1.files"
}
# Windows Installer's own first use leaves keys and a folder that every
# machine with an installed package has: empty, they are no trace of ours.
platform_first_use() {
  grep -v -E '^\+\[machine:Software\\\\(Wow6432Node\\\\)?(Classes\\\\Installer|Microsoft\\\\Windows\\\\CurrentVersion\\\\Installer)(\\\\[^]]*)?\]$|^\+folder \./windows/Installer$'
}
same_state() {
  state "$2"
  status=0
  for part in registry files; do
    sorted_changes "$scratch/$1.$part" "$scratch/$2.$part" | platform_first_use >"$scratch/diff"
    [ -s "$scratch/diff" ] || continue
    echo "   the $part differ from $1:"
    head -40 "$scratch/diff" | sed 's/^/     /'
    status=1
  done
  return $status
}
registered_here() {
  server=$(probe server $view)
  same_path "$server" "$installed\\Kelmo7.exe" || { echo "   LocalServer32 ($view-bit view): $server"; return 1; }
  expect "class in the $other-bit view" "not registered" "$(probe server $other)"
}

step_install() {
  expect "msiexec /i" 0 "$(msiexec /i "$(windows_path "$package")")" || return 1
  for file in Kelmo7.exe tollan.exe KelmoHosted.dll kelmo_demo.exe; do
    [ -f "$unix_installed/$file" ] || { echo "   $file is missing"; return 1; }
  done
  registered_here
}

client() { probe run "$installed\\kelmo_demo.exe" run; }
step_client() { expect "kelmo_demo run" "exit 0" "$(client | tail -1)"; }
step_other_client() { expect "CLIENT run" "exit 0" "$(probe run "$(windows_path "$other_client")" run | tail -1)"; }

step_repair() {
  expect "Kelmo7.exe /UnregServer" "exit 0" "$(probe run "$installed\\Kelmo7.exe" /UnregServer)" || return 1
  expect "after /UnregServer" "not registered" "$(probe server $view)" || return 1
  expect "repair" 0 "$(msiexec /i "$(windows_path "$package")" REINSTALL=ALL REINSTALLMODE=a)" || return 1
  registered_here && step_client
}

step_uninstall() {
  expect "msiexec /x" 0 "$(msiexec /x "$(windows_path "$package")")" || return 1
  same_state before after-uninstall
}

# Windows Installer documents 1603 for an install that failed; Wine 8's
# msiexec gives 1627 (ERROR_FUNCTION_FAILED).
step_failing_registration() {
  code=$(msiexec /i "$(windows_path "$failing")")
  case $code in
    1603 | 1627) echo "   msiexec /i: exit $code" ;;
    *) expect "msiexec /i" "1603 or 1627" "$code" || return 1 ;;
  esac
  same_state before after-failure
}

fact_fa_repair() { echo "   msiexec /fa: exit $(msiexec /fa "$(windows_path "$package")")"; }

fact_later_failure() {
  echo "   msiexec /i: exit $(msiexec /i "$(windows_path "$later_failing")")"
  echo "   LocalServer32 ($view-bit view): $(probe server $view)"
  same_state before after-later-failure >"$scratch/left"
  echo "   left behind: $(grep -c '^     +\[[^]]*\]$' "$scratch/left") keys, $(grep -c '^     +\[[^]]*\] ' "$scratch/left") values," \
    "$(grep -c '^     +f' "$scratch/left") files and folders (of the first 40 lines of each)"
  # Leaves the prefix as before for what may follow.
  probe run "$installed\\Kelmo7.exe" /UnregServer >/dev/null
}

# The updates. Each starts from the state before the first install and ends
# with an uninstall back to it.
packages=$(dirname "$package")
demo_product={B7C49F73-43A1-4426-945A-1D959562AA1A}
# HEX: the number of 8 hex digits, little-endian.
little_endian() { echo $((0x$(echo "$1" | sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1/'))); }
# FILE: the file version of its version resource: VS_FIXEDFILEINFO's
# signature FEEF04BD, the structure's version, then the two words of the
# file version.
file_version() {
  set -- $(od -An -v -tx1 "$1" | tr -d ' \n' | sed -n 's/.*bd04effe........\(........\)\(........\).*/\1 \2/p')
  [ $# -eq 2 ] || return 0
  high=$(little_endian "$1") low=$(little_endian "$2")
  echo "$((high >> 16)).$((high & 65535)).$((low >> 16)).$((low & 65535))"
}
# LOG: msiexec's log as plain text (Wine writes it in UTF-16 or not).
log_text() { tr -d '\r\000' <"$1" 2>/dev/null; }
# The products that Windows Installer lists as installed, by product code.
installed_products() {
  registry_state "$prefix" | sed -n 's/^\[machine:Software\\\\\(Wow6432Node\\\\\)\{0,1\}Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\\({[^}\\]*}\)\]$/\2/p' | sort -u
}
# PRODUCT: after an update, only PRODUCT is installed, registered once,
# with the new program, and both clients reach the component through it.
updated_to() {
  expect "installed products" "$1" "$(installed_products | tr '\n' ' ' | sed 's/ $//')" || return 1
  registered_here || return 1
  expect "installed Kelmo7.exe's version" 8.3.1203.0 "$(file_version "$unix_installed/Kelmo7.exe")" || return 1
  step_client && step_other_client
}
# PACKAGE UPDATE: installs PACKAGE (the first version), then UPDATE with the
# rest of the arguments.
install_then() {
  first=$1 update=$2
  shift 2
  expect "msiexec /i $(basename "$first")" 0 "$(msiexec /i "$(windows_path "$first")")" || return 1
  registered_here || return 1
  expect "msiexec /i $(basename "$update")" 0 "$(msiexec /i "$(windows_path "$update")" "$@")"
}
uninstall() {
  expect "msiexec /x $(basename "$1")" 0 "$(msiexec /x "$(windows_path "$1")")" || return 1
  same_state before "after-$(basename "$1" .msi)"
}
major_product={C1D5E8A2-7B34-4F60-9A1E-5D2C8B7F4A31}

step_upgrade_early() { install_then "$package" "$packages/upgrade-early.msi" && updated_to $major_product; }
step_uninstall_early() { uninstall "$packages/upgrade-early.msi"; }
step_upgrade_late() {
  install_then "$package" "$packages/upgrade-late.msi" '/l*v' "$(windows_path "$scratch")\\late.log" &&
    updated_to $major_product
}
# Windows Installer keeps, under each UpgradeCode, the products installed with
# it; FindRelatedProducts reads that list.
upgrade_code_products() {
  registry_state "$prefix" | grep -c '^\[machine:Software\\\\\(Wow6432Node\\\\\)\{0,1\}Microsoft\\\\Windows\\\\CurrentVersion\\\\Installer\\\\UpgradeCodes\\\\[^]]*\] "'
}
fact_nested_removal() {
  log_text "$scratch/late.log" | grep -i "RemoveExistingProducts\|Found application\|OLDPRODUCTS =" | head -6 | sed 's/^/     /'
  echo "   products listed under the UpgradeCode: $(upgrade_code_products) (Windows Installer keeps the new one there)"
}
step_uninstall_late() { uninstall "$packages/upgrade-late.msi"; }
step_downgrade() {
  expect "msiexec /i upgrade-late.msi" 0 "$(msiexec /i "$(windows_path "$packages/upgrade-late.msi")")" || return 1
  state before-downgrade
  code=$(msiexec /i "$(windows_path "$package")" '/l*v' "$(windows_path "$scratch")\\downgrade.log")
  case $code in
    1603 | 1627) echo "   msiexec /i $(basename "$package"): exit $code" ;;
    *) expect "msiexec /i $(basename "$package")" "1603 or 1627" "$code" || return 1 ;;
  esac
  log_text "$scratch/downgrade.log" >"$scratch/downgrade.txt"
  grep -q "^Action start .*: Kelmo7DemoNewerFound\.$" "$scratch/downgrade.txt" &&
    grep -q "NEWERFOUND = $major_product" "$scratch/downgrade.txt" ||
    { echo "   the log shows no refusal for the newer version"; return 1; }
  same_state before-downgrade after-downgrade && registered_here
}
fact_downgrade_message() { echo "   log lines with the message's words: $(grep -c -i "newer version" "$scratch/downgrade.txt")"; }
step_uninstall_downgrade() { uninstall "$packages/upgrade-late.msi"; }
step_minor_update() {
  install_then "$package" "$packages/minor-update.msi" REINSTALL=ALL REINSTALLMODE=vomus && updated_to $demo_product
}
step_uninstall_minor() { uninstall "$packages/minor-update.msi"; }

passed=0 failed=0
"$here/../../cmake/wineprefix.sh" create "$prefix" || { echo "msi_proof: 0 passed, 1 failed (no Wine prefix)"; exit 1; }
# One ordinary session first: the registry that wineboot saved holds keys that
# no later session saves (NetworkCards).
probe server $view >/dev/null
state before
[ -s "$scratch/before.registry" ] || { echo "msi_proof: 0 passed, 1 failed (no registry to compare)"; exit 1; }
steps >"$scratch/steps"
while IFS='|' read -r kind name expected; do
  kind=$(echo $kind) name=$(echo $name)
  echo "== $name:$expected"
  started=$(date +%s)
  if [ "$kind" = fact ]; then
    "fact_$name"
    echo "   recorded, not counted ($(($(date +%s) - started)) s)"
  elif "step_$name"; then
    passed=$((passed + 1))
    echo "verdict: msi.$name passed ($(($(date +%s) - started)) s)"
  else
    failed=$((failed + 1))
    echo "verdict: msi.$name failed ($(($(date +%s) - started)) s)"
  fi
done <"$scratch/steps"
echo "msi_proof: $passed passed, $failed failed"
[ $failed -eq 0 ]
