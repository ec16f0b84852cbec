#!/bin/sh
# test32.sh [test | demo | job JOB]: runs the win32 build under Debian's 32-bit
# Wine in the i386 guest, and ends with one line "test32: N passed, M failed".
#   test  the checks of these guest scripts on this machine, then every Wine
#         test of the win32 build and the demo in the guest
#   demo  the demo alone
#   job   the shell script JOB alone, as one test that passes when it exits 0
#
# Every guest run of one call shares a budget of KELMO_GUEST_BUDGET seconds
# (2700; a whole run took about 20 minutes): a run that reaches it is stopped,
# and whatever it had not finished counts as failed. Only a guest that powered
# off before its job ended is started once more, with what remains of the
# budget. Each run's log is kept (KELMO_TEST32_LOGS, build/win32/test32). A
# test passes when a run reported it passed and none reported it failed; a
# test that no run reported, or a guest that cannot be built, counts as failed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/follow.sh"
tree=$(cd "$here/../.." && pwd)
build=$tree/build/win32
budget=${KELMO_GUEST_BUDGET:-2700}
mode=${1:-test}
case $mode in
  test | demo) job=$here/${mode}32-job.sh ;;
  job) job=$(cd "$(dirname "${2:?usage: test32.sh job JOB}")" && pwd)/$(basename "$2") ;;
  *) echo "usage: test32.sh [test | demo | job JOB]" >&2; exit 2 ;;
esac
cd "$tree"
[ -f "$build/CTestTestfile.cmake" ] || { echo "test32: the win32 build is missing" >&2; exit 1; }
logs=${KELMO_TEST32_LOGS:-$build/test32}
mkdir -p "$logs" && rm -f "$logs"/run*.log "$logs"/guest-scripts.log "$logs"/results

trap stop_followed EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Every test this call is to report, one name a line.
expected=$logs/expected
case $mode in
  test)
    { { ctest --preset guest-scripts -N && ctest --preset win32-wine -N; } |
        sed -n 's/^ *Test *#[0-9]*: //p'
      echo demo; } >"$expected" ;;
  demo) echo demo >"$expected" ;;
  job) echo job >"$expected" ;;
esac

# results LOG: "NAME passed" or "NAME failed" for each test CTest or the demo
# reported in LOG.
results() {
  sed -n -e 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .* Passed .*/\1 passed/p' \
         -e 't' -e 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*/\1 failed/p' \
         -e 's/^demo exit code: 0$/demo passed/p' -e 't' -e 's/^demo exit code: .*/demo failed/p' "$1"
}

# guest_ready: builds or finds the guest and holds it, so that no builder
# removes it under the run; a guest removed before it was held is looked up again.
guest_ready() {
  for attempt in 1 2 3; do
    guest=$("$here/build.sh" i386) || return 1
    exec 9>"$guest.lock"
    flock -s 9
    [ -f "$guest/ready" ] && return 0
  done
  return 1
}

started=$(date +%s)
if guest_ready; then
  if [ "$mode" = test ]; then
    echo "== the guest scripts' own checks"
    follow "$logs/guest-scripts.log" "$logs/guest-scripts.log" ctest --preset guest-scripts
    results "$logs/guest-scripts.log" >>"$logs/results"
  fi
  runs_started=$(date +%s)
  for attempt in 1 2; do
    remaining=$((budget - ($(date +%s) - runs_started)))
    [ $remaining -gt 0 ] || { echo "test32: no time left of the budget of $budget s"; break; }
    export KELMO_GUEST_TIMEOUT=$remaining
    follow "$logs/run$attempt.log" "$logs/run$attempt.log" "$here/run.sh" "$guest" "$job" "$tree"
    status=$?
    results "$logs/run$attempt.log" >>"$logs/results"
    if [ "$mode" = job ]; then
      [ $status -eq 0 ] && echo "job passed" >>"$logs/results" || echo "job failed" >>"$logs/results"
    fi
    [ $status -eq 124 ] && echo "test32: the guest run was stopped at the budget of $budget s"
    [ $status -eq 125 ] && [ $attempt -eq 1 ] || break
    echo "test32: the guest stopped before its job ended; starting it once more (the first run's log: $logs/run1.log)"
  done
fi
elapsed=$(( $(date +%s) - started ))

passed=0 failed=0
while read -r name; do
  if grep -qx "$name passed" "$logs/results" 2>/dev/null && ! grep -qx "$name failed" "$logs/results"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
done <"$expected"
echo "test32: took $elapsed s under software emulation (not a measure of the programs' speed); logs in $logs"
echo "test32: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
