#!/bin/sh
# The real make-dist.sh on a copy of this tree: the release built twice gives
# the same symbols archive (make-dist.sh compares it, and fails otherwise);
# the archive holds each shipped program, byte for byte, and its PDB, under
# the folders that llvm's own readers name from the two files; and
# kelmo7-VERSION-SHA256SUMS vouches for it. Takes a minute or two: two whole builds.
# Usage: release_symbols_check.sh PYTHON...
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { printf 'release_symbols_check: %s\n' "$*"; exit 1; }

DIST_ALLOW_DIRTY=1 "$top/dist/make-dist.sh" 0.0.1 "$work/out" >"$work/log" 2>&1 || fail "make dist failed: $(cat "$work/log")"
grep -q "the two builds are identical" "$work/log" || fail "the builds were not compared: $(cat "$work/log")"
cd "$work/out"
archive=$(ls kelmo7-0.0.1*-symbols.zip) || fail "no symbols archive beside the zip: $(ls)"
package=${archive%-symbols.zip}
unzip -q "$archive" -d store
sha256sum --quiet -c "$package-SHA256SUMS" || fail "$package-SHA256SUMS does not hold"
grep -q "  $archive\$" "$package-SHA256SUMS" || fail "$package-SHA256SUMS does not name $archive"

store=store/${archive%.zip}
for program in Kelmo7.exe tollan.exe kelmo7-check-x86.exe kelmo7-check-x64.exe; do
  pdb=${program%.exe}.pdb
  headers=$(llvm-readobj --file-headers "$package/$program")
  stamp=$(printf '%s\n' "$headers" | sed -n 's/^ *TimeDateStamp: .*(0x\([0-9A-Fa-f]*\))$/\1/p')
  image=$(printf '%s\n' "$headers" | sed -n 's/^ *SizeOfImage: //p')
  key=$(printf '%08X%x' "0x$stamp" "$image")
  cmp -s "$package/$program" "$store/$program/$key/$program" || fail "$program is not in the store under $key: $(find store -type f)"
  summary=$(llvm-pdbutil dump --summary "$store/$pdb"/*/"$pdb")
  guid=$(printf '%s\n' "$summary" | sed -n 's/^ *GUID: {\(.*\)}$/\1/p' | tr -d -)
  age=$(printf '%s\n' "$summary" | sed -n 's/^ *Age: //p')
  [ -f "$store/$pdb/$guid$(printf %x "$age")/$pdb" ] || fail "$pdb is not in the store under its GUID $guid and age $age"
  "$@" "$top/dist/symbols.py" match "$store/$program/$key/$program" "$store/$pdb/$guid$(printf %x "$age")/$pdb"
done
echo "release_symbols_check: passed"
