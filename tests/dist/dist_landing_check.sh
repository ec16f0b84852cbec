#!/bin/bash
# make-dist.sh puts a new package into place as one change of its output
# folder: interrupted between its moves, it leaves the folder as it was; and
# while `make msi` holds the folder's lock it waits, so that neither loses the
# other's entry in the folder's list; and the package carries the docs at the
# paths kelmo7-check's pointers name, in its sums. A stand-in cmake makes the
# builds in a moment; the runs use a throwaway repository that holds only
# dist/ and the docs.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { printf 'dist_landing_check: %s\n' "$*"; exit 1; }
repo=$work/repo out=$work/out
mkdir -p "$repo" "$work/bin" && cp -r "$top/dist" "$top/docs" "$top/README.md" "$top/CHANGELOG.md" "$repo/"
# The stand-in for the symbols archive holds the text of the first program.
cat >"$repo/dist/symbols.py" <<'EOF_SYMBOLS'
import sys
with open(sys.argv[2], "w") as archive, open(sys.argv[5].split("=")[0]) as program:
    archive.write(program.read())
EOF_SYMBOLS
git -C "$repo" init -q
git -C "$repo" add . && git -C "$repo" -c user.name=t -c user.email=t@example.com commit -qm dist

# The stand-in for `cmake --preset win32|win64 -B DIR` and `cmake --build DIR ...`:
# the programs hold the text of $program.
cat >"$work/bin/cmake" <<'EOF_CMAKE'
#!/bin/sh
case $1 in
  --preset) mkdir -p "$4" ;;
  --build) mkdir -p "$2/server" "$2/tollan" "$2/check"
           for file in server/Kelmo7.exe tollan/tollan.exe server/kelmo7.tlb check/kelmo7-check.exe; do
             echo "$program" >"$2/$file"
           done ;;
esac
EOF_CMAKE
chmod +x "$work/bin/cmake"
dist() { PATH=$work/bin:$PATH "$repo/dist/make-dist.sh" 1.0 "$out"; }
state() { (cd "$out" && find . -type f -exec sha256sum {} + | LC_ALL=C sort); }

program=old dist >"$work/log" 2>&1 || fail "the first package failed: $(cat "$work/log")"
state >"$work/before"

unzipped=$work/unzipped/kelmo7-1.0
mkdir "$work/unzipped" && (cd "$work/unzipped" && unzip -q "$out/kelmo7-1.0-win32.zip") || fail "the zip cannot be read"
(cd "$unzipped" && sha256sum -c --quiet SHA256SUMS) || fail "the zip's SHA256SUMS do not hold"
for doc in README.md CHANGELOG.md docs/deploying.md docs/troubleshooting.md; do
  grep -q -x ".*  $doc" "$unzipped/SHA256SUMS" || fail "SHA256SUMS does not name $doc"
  cmp -s "$top/$doc" "$unzipped/$doc" || fail "the zip's $doc is not the tree's"
done
"$top/tests/check/entry_names_check.sh" "$top" "$unzipped/docs/troubleshooting.md" >"$work/log" ||
  fail "kelmo7-check names an entry that the zip's page lacks: $(cat "$work/log")"

# An interrupt between the moves: the stand-in mv stops the script just
# before the new zip would go into place.
cat >"$work/bin/mv" <<'EOF_MV'
#!/bin/sh
case "$1 $2" in
  */.kelmo7-dist.*/kelmo7-1.0-win32.zip*/out/kelmo7-1.0-win32.zip) kill -INT "$PPID"; exit 1 ;;
esac
exec /bin/mv "$@"
EOF_MV
chmod +x "$work/bin/mv"
if program=new dist >"$work/log" 2>&1; then fail "an interrupted run succeeded: $(cat "$work/log")"; fi
rm "$work/bin/mv"
state | diff "$work/before" - >"$work/diff" || fail "the interrupted run changed the folder: $(cat "$work/diff")"
[ -z "$(ls -A "$out" | grep -v -x -e kelmo7-1.0 -e kelmo7-1.0-win32.zip -e kelmo7-1.0-symbols.zip -e kelmo7-1.0-SHA256SUMS -e .kelmo7-dist-files)" ] ||
  fail "the interrupted run left: $(ls -A "$out")"

# The folder's lock, held as make msi holds it while it adds its package.
exec 8<"$out"
flock 8
program=new dist >"$work/log" 2>&1 8<&- &
pid=$!
for _ in $(seq 60); do grep -q "the two builds are identical" "$work/log" && break; sleep 0.5; done
sleep 2
kill -0 $pid 2>/dev/null || fail "make-dist.sh did not wait for the folder's lock: $(cat "$work/log")"
echo msi >"$out/kelmo7-demo.msi"
echo ./kelmo7-demo.msi >>"$out/.kelmo7-dist-files"
exec 8<&-
wait $pid || fail "make-dist.sh failed after the lock was given back: $(cat "$work/log")"
pid=
for entry in ./kelmo7-demo.msi ./kelmo7-1.0-win32.zip ./kelmo7-1.0-symbols.zip ./kelmo7-1.0-SHA256SUMS ./kelmo7-1.0/Kelmo7.exe; do
  grep -q -x -F "$entry" "$out/.kelmo7-dist-files" || fail "the folder's list lost $entry"
done
[ "$(cat "$out/kelmo7-1.0/Kelmo7.exe" "$out/kelmo7-1.0-symbols.zip")" = "new
new" ] || fail "the new package is not in place"
echo "dist_landing_check: passed"
