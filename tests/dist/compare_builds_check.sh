#!/bin/sh
# dist/compare-builds.sh names each file that differs between two builds with
# its first differing offset, also where one file is the other's beginning,
# and fails; files that are the same pass.
set -eu
compare=$(cd "$(dirname "$0")/../../dist" && pwd)/compare-builds.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/a" "$work/b"
printf 'MZ..' >"$work/a/same.exe"
printf 'MZ..' >"$work/b/same.exe"
printf 'MZ..PE' >"$work/a/changed.exe"
printf 'MZ..pE' >"$work/b/changed.exe"
printf 'MZ' >"$work/a/short.exe"
printf 'MZ..' >"$work/b/short.exe"
"$compare" "$work/a" "$work/b" same.exe
if report=$("$compare" "$work/a" "$work/b" same.exe changed.exe short.exe 2>&1); then
  echo "no difference found"
  exit 1
fi
expected="changed.exe differs between the two builds, first at offset 4 (0x4)
short.exe differs between the two builds, first at offset 2 (0x2)"
[ "$report" = "$expected" ] || { printf 'reported:\n%s\n' "$report"; exit 1; }
