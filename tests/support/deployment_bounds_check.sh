#!/bin/sh
# The broken-deployment checks' bounds (deployment.sh): a step that outlives
# its bound fails the case in progress, naming the step, its bound and the
# last line it wrote, and the check goes on; a step in time keeps its own
# status; a step after the check's budget is spent does not run.
set -u
. "$(dirname "$0")/deployment.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# No Wine runs here: the prefix whose processes a bound ends does not exist.
prefix=$scratch/no-prefix
export WINEPREFIX=$prefix
check_deadline=$(($(date +%s) + 60))
result=0
fail() { echo "$1"; result=1; }

last_line_of=$scratch/client
started=$(date +%s)
bounded 1 "the client" sh -c 'printf "activation 0x00000000\r\n" >"$1"; exec sleep 30' client "$scratch/client"
ran_out=$?
[ "$ran_out" -eq 124 ] || fail "a step past its bound returned $ran_out, not 124"
[ $(($(date +%s) - started)) -le 8 ] || fail "a step past its 1 s bound ran $(($(date +%s) - started)) s"
outcome=$(case_outcome) || fail "a step past its bound did not fail the case"
[ "$outcome" = 'the client did not end within 1 s (last line: "activation 0x00000000"); running in the prefix: ' ] ||
  fail "a step past its bound failed the case as: $outcome"

bounded 10 "a quick step" sh -c 'exit 3'
in_time=$?
[ "$in_time" -eq 3 ] || fail "a step in time returned $in_time, not its own 3"
outcome=$(case_outcome) && fail "a step in time failed the case: $outcome"

check_deadline=$(date +%s)
bounded 10 "kelmo7-check" sh -c 'touch "$1"' ran "$scratch/ran"
[ ! -e "$scratch/ran" ] || fail "a step ran after the check's budget was spent"
outcome=$(case_outcome)
[ "$outcome" = "not run: the check's $check_budget s were spent before kelmo7-check" ] ||
  fail "a step after the budget failed the case as: $outcome"
exit $result
