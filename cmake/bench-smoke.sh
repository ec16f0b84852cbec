#!/bin/sh
# bench-smoke.sh ROWS PREFIX PROGRAM [ARGUMENTS...]: runs a benchmark once,
# short, in a throwaway Wine prefix of its own, and passes when it ends with 0
# and has printed exactly ROWS rows of the benchmark table. Its figures mean
# nothing: this only proves that the benchmark still runs.
set -u
rows=$1; shift
here=$(cd "$(dirname "$0")" && pwd)
# Well inside CTest's 900 s, so that a run that hangs fails here, named, with
# its prefix shut down.
output=$(timeout -k 10 800 "$here/run-in-wineprefix.sh" "$@" 2>&1)
status=$?
printf '%s\n' "$output"
printed=$(printf '%s\n' "$output" | grep -c '^ROW|')
if [ "$status" -eq 124 ]; then
  echo "bench-smoke: the benchmark did not end within 800 s" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "bench-smoke: the benchmark ended with $status" >&2
  exit 1
fi
if [ "$printed" -ne "$rows" ]; then
  echo "bench-smoke: $printed table rows printed, $rows expected" >&2
  exit 1
fi
