#!/bin/sh
# The demo package as demo/msi.sh builds it from BUILD: the same bytes from a
# second run (later, another time zone and umask), another package code for
# other files, and what wixl 0.101 alone gets wrong put right, one check a row.
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
the sample registers after the files are in place|before InstallFiles SampleRegister
a package with another Kelmo7.exe has another package code|[ -n "$(package_code first)" ] && [ "$(package_code first)" != "$(package_code other)" ]
the package is dated with the source date|summary Created "$source_date" && summary "Last saved" "$source_date"
EOF
echo "msi_package_check: $passed passed, $failed failed"
[ $failed -eq 0 ]
