#!/bin/sh
# registry_state fails, saying why, when it cannot take a snapshot: a prefix
# with no saved registry, or one with nothing under Software. Two such
# snapshots would otherwise both be empty and compare equal.
set -u
. "$(dirname "$0")/registry_state.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/unsaved" "$work/no-software"
printf 'WINE REGISTRY Version 2\n\n[System\\\\Setup] 1\n"a"="b"\n' >"$work/no-software/system.reg"
cp "$work/no-software/system.reg" "$work/no-software/user.reg"
status=0
for prefix in unsaved no-software; do
  if registry_state "$work/$prefix" >"$work/out" 2>"$work/err"; then
    echo "a snapshot of the prefix '$prefix' was taken: $(cat "$work/out")"; status=1
  elif [ ! -s "$work/err" ]; then
    echo "the failed snapshot of '$prefix' said nothing"; status=1
  fi
done
exit $status
