#!/bin/sh
# The demo package as demo/msi.sh builds it from BUILD: the same bytes from a
# second run (later, another time zone and umask), another package code for
# other files, what wixl 0.101 alone gets wrong put right, and the custom
# actions that each kind of run schedules (msi_conditions.py), one check a row.
# Usage: msi_package_check.sh BUILD
set -u
build=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct)} TZ=UTC
"$top/demo/msi.sh" 0.0.1 "$build" "$work/first.msi" || exit 1
sleep 1
(umask 077 && TZ=XYZ-12:45 "$top/demo/msi.sh" 0.0.1 "$build" "$work/second.msi") || exit 1
"$top/demo/msi.sh" 0.0.1 "$build" "$work/other.msi" "$build/tests/registration/Kelmo7_malformed.exe" || exit 1
msiinfo export "$work/first.msi" CustomAction >"$work/actions"
msiinfo export "$work/first.msi" InstallExecuteSequence >"$work/sequence"
msiinfo suminfo "$work/first.msi" >"$work/summary"
msiinfo export "$work/first.msi" Upgrade | tr -d '\r' >"$work/upgrade"

type_of() { awk -F '\t' -v a="$1" '$1 == a { print $2 }' "$work/actions"; }
sequence_of() { awk -F '\t' -v a="$1" '$1 == a { print $3 }' "$work/sequence"; }
# ACTION BITS: the action's type has every one of the bits.
has_bits() { t=$(type_of "$1") && [ -n "$t" ] && [ $((t & $2)) -eq $(($2)) ]; }
# ACTION: deferred, in the system context, its exit code checked.
deferred_checked() { has_bits "$1" 0xC00 && [ $(($(type_of "$1") & 0x140)) -eq 0 ]; }
# ACTION: a rollback action (0x100 and 0x400) in the system context, ignoring its exit code.
rolls_back() { has_bits "$1" 0xD40; }
# FIRST SECOND: both are sequenced, FIRST before SECOND.
before() {
  a=$(sequence_of "$1") b=$(sequence_of "$2")
  [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ]
}
summary() { grep -qx "$1: $2" "$work/summary"; }
condition_of() { awk -F '\t' -v a="$1" '$1 == a { print $2 }' "$work/sequence"; }
# MIN MAX ATTRIBUTES PROPERTY: an Upgrade row of the package's own UpgradeCode.
upgrade_row() {
  code=$(msiinfo export "$work/first.msi" Property | tr -d '\r' | awk -F '\t' '$1 == "UpgradeCode" { print $2 }')
  awk -F '\t' -v c="$code" -v r="$1|$2|$3|$4" 'NR > 3 && $1 == c && $2 "|" $3 "|" $5 "|" $7 == r { found = 1 } END { exit !found }' \
    "$work/upgrade"
}
# NAME: msi_conditions.py's exit code for NAME.msi (0 sound, 1 wrong actions,
# 2 refused), its report kept in NAME.conditions.
conditions() {
  /usr/bin/python3 "$top/tests/installer/msi_conditions.py" "$work/$1.msi" >"$work/$1.conditions" 2>&1
  echo $?
}
# NAME CONDITION: NAME.msi, the first package with CONDITION for Kelmo7RegisterRollback.
with_condition() {
  cp "$work/first.msi" "$work/$1.msi" &&
    msibuild "$work/$1.msi" -q "UPDATE InstallExecuteSequence SET Condition = '$2' WHERE Action = 'Kelmo7RegisterRollback'"
}
package_code() { msiinfo suminfo "$work/$1.msi" | sed -n 's/^Revision number (UUID): //p'; }
source_date=$(date -u -d "@$SOURCE_DATE_EPOCH" '+%a %b %e %H:%M:%S %Y')
# FILE: the TimeDateStamp of its PE header (4 bytes at 8 past the signature,
# whose offset stands at 60).
pe_stamp() { od -An -tu4 -j $(($(od -An -tu4 -j 60 -N 4 "$1") + 8)) -N 4 "$1" | tr -d ' '; }

passed=0 failed=0
while IFS='|' read -r what check; do
  if eval "$check"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $what ($check)"
  fi
done <<EOF
two runs give the same bytes|cmp "$work/first.msi" "$work/second.msi"
the sample carries the source date, as every packaged program|[ "$(pe_stamp "$build/hosted/KelmoHosted.dll")" = "$SOURCE_DATE_EPOCH" ]
the demo's client carries the source date|[ "$(pe_stamp "$build/demo/kelmo_demo.exe")" = "$SOURCE_DATE_EPOCH" ]
/RegServer runs deferred, not impersonated, checked|deferred_checked Kelmo7Register
/UnregServer runs deferred, not impersonated, checked|deferred_checked Kelmo7Unregister
the sample registers deferred, checked|deferred_checked SampleRegister
/RegServer's rollback is a rollback action|rolls_back Kelmo7RegisterRollback
/UnregServer's rollback is a rollback action|rolls_back Kelmo7UnregisterRollback
the sample's rollback is a rollback action|rolls_back SampleRegisterRollback
/UnregServer runs inside the install script|before InstallInitialize Kelmo7Unregister
/UnregServer runs before the files are removed|before Kelmo7Unregister RemoveFiles
its rollback comes before it|before Kelmo7UnregisterRollback Kelmo7Unregister
/RegServer runs after the files are in place|before InstallFiles Kelmo7Register
its rollback comes before it|before Kelmo7RegisterRollback Kelmo7Register
/RegServer runs inside the install script|before Kelmo7Register InstallFinalize
the rollback that registers the old file again is a rollback action|rolls_back Kelmo7ReregisterRollback
the sample's too|rolls_back SampleReregisterRollback
the sample's rollback of a removal too|rolls_back SampleUnregisterRollback
it runs after the old file is back, InstallFiles' rollback|before Kelmo7ReregisterRollback InstallFiles
and before the run's files are removed|before RemoveFiles Kelmo7ReregisterRollback
the sample's too|before SampleReregisterRollback InstallFiles && before RemoveFiles SampleReregisterRollback
the sample's rollback of a removal runs after the files are back|before SampleUnregisterRollback RemoveFiles
every kind of run schedules the actions it needs|[ "\$(conditions first)" = 0 ] || { cat "$work/first.conditions"; false; }
so the check reads the package: the former conditions fail it|with_condition former '\$Kelmo7Server=3' && [ "\$(conditions former)" = 1 ]
a condition that the check cannot read fails it|with_condition unread '\$Kelmo7Server=3 AND NOT Installed' && [ "\$(conditions unread)" = 2 ]
the sample registers after the files are in place|before InstallFiles SampleRegister
a package with another Kelmo7.exe has another package code|[ -n "$(package_code first)" ] && [ "$(package_code first)" != "$(package_code other)" ]
the package is dated with the source date|summary Created "$source_date" && summary "Last saved" "$source_date"
every older version of the product is found for removal|upgrade_row '' 0.0.1 0 OLDPRODUCTS
a newer version is only detected|upgrade_row 0.0.1 '' 2 NEWERFOUND
a newer version ends the run with an error action after FindRelatedProducts|[ "\$(type_of Kelmo7DemoNewerFound)" = 19 ] && [ "\$(condition_of Kelmo7DemoNewerFound)" = NEWERFOUND ] && before FindRelatedProducts Kelmo7DemoNewerFound
the older version is removed early, between InstallValidate and InstallInitialize|before InstallValidate RemoveExistingProducts && before RemoveExistingProducts InstallInitialize
EOF
echo "msi_package_check: $passed passed, $failed failed"
[ $failed -eq 0 ]
