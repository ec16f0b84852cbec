#!/bin/sh
# test32.sh with no time left starts nothing, counts its test failed and names
# the part that ran out; it replaces only its own files in the logs folder;
# and from a checkout path with a blank it refuses at once, saying why.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { printf 'test32_bounds_check: %s\n' "$*"; exit 1; }

mkdir "$work/logs"
echo "mine" >"$work/logs/notes.log"
printf 'echo "a job that must not start"\n' >"$work/job.sh"
KELMO_DEADLINE=$(($(date +%s) - 1)) KELMO_TEST32_LOGS=$work/logs \
  timeout 60 "$top/cmake/guest/test32.sh" job "$work/job.sh" >"$work/out" 2>&1
status=$?
[ $status -eq 1 ] || fail "exit status $status past the deadline, expected 1: $(cat "$work/out")"
grep -q "^test32: 0 passed, 1 failed$" "$work/out" || fail "no verdict of one failed job: $(cat "$work/out")"
grep -q "^test32: out of time in: i386 guest (deadline" "$work/out" || fail "no part named out of time: $(cat "$work/out")"
[ "$(cat "$work/logs/notes.log")" = mine ] || fail "a file test32.sh did not write is gone from its logs folder"

ln -s "$top" "$work/a checkout"
"$work/a checkout/cmake/guest/test32.sh" demo >"$work/out" 2>&1
status=$?
[ $status -eq 2 ] || fail "exit status $status from a path with a blank, expected 2: $(cat "$work/out")"
grep -q "holds a blank or a comma" "$work/out" || fail "no reason given: $(cat "$work/out")"
echo "test32_bounds_check: passed"
