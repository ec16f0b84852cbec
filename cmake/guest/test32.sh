#!/bin/sh
# test32.sh [demo]: runs every Wine test of the win32 build, and the demo, under
# Debian's 32-bit Wine in the i386 guest (with `demo`, the demo alone); ends
# with one line "test32: N passed, M failed". Nothing that fails to start
# passes: a guest that cannot be built or booted counts every test as failed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/../.." && pwd)
mode=${1:-test}
case $mode in
  test | demo) job=$here/${mode}32-job.sh ;;
  *) echo "usage: test32.sh [demo]" >&2; exit 2 ;;
esac
[ -f "$tree/build/win32/CTestTestfile.cmake" ] || { echo "test32: the win32 build is missing" >&2; exit 1; }

# The Wine tests of the build (none for the demo alone), and the demo as one more.
expected=0
[ "$mode" = test ] && expected=$(cd "$tree" && ctest --preset win32-wine -N | sed -n 's/^Total Tests: //p')
expected=$((expected + 1))

log=$(mktemp "${TMPDIR:-/tmp}/test32.XXXXXX")
trap 'rm -f "$log"' EXIT
started=$(date +%s)
if guest=$("$here/build.sh"); then
  "$here/run.sh" "$guest" "$job" "$tree" | tee "$log"
  # A guest that stopped before its job ended (the emulator, not a test) is
  # started once more, and says so.
  if ! grep -q '^demo exit code: ' "$log"; then
    echo "test32: the guest stopped before its job ended; starting it once more"
    "$here/run.sh" "$guest" "$job" "$tree" | tee "$log"
  fi
fi
elapsed=$(( $(date +%s) - started ))

# CTest's "NN% tests passed, F tests failed out of T", and the demo's exit code.
total=$(sed -n 's/.*tests failed out of \([0-9]*\)$/\1/p' "$log" | tail -n 1)
failed=$(sed -n 's/.* \([0-9]*\) tests failed out of .*/\1/p' "$log" | tail -n 1)
demo=$(sed -n 's/^demo exit code: //p' "$log" | tail -n 1)
if [ "$mode" = demo ]; then
  total=0 failed=0
elif [ -z "$total" ]; then
  total=$((expected - 1)) failed=$((expected - 1))
fi
passed=$((total - failed))
if [ "${demo:-1}" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
echo "test32: guest run took $elapsed s under software emulation (not a measure of the programs' speed)"
echo "test32: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -eq "$expected" ]
