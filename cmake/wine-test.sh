#!/bin/sh
# wine-test.sh WINE PROGRAM [ARGUMENTS...]: runs one test program under Wine
# with its output going to a file, then prints that file. Wine's services,
# which the first program of a prefix to need them starts, inherit that
# program's output and outlive it: had they inherited CTest's pipe, CTest would
# wait for them to end, which is when every other test of the prefix has.
set -u
output=$(mktemp "${TMPDIR:-/tmp}/wine-test.XXXXXX") || exit 1
"$@" >"$output" 2>&1
status=$?
cat "$output"
rm -f "$output"
exit $status
