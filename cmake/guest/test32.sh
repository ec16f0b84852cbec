#!/bin/sh
# test32.sh [test | demo | wow64 | job JOB [ARCH]]: runs the win32 build in
# emulated Debian machines, and ends with one line "test32: N passed, M failed".
#   test   the checks of these guest scripts on this machine; every Wine test
#          of the win32 build and the demo under 32-bit Wine in the i386 guest;
#          then the WoW64 proof and the 32-bit installer proof under 64-bit
#          Wine with its 32-bit half in the amd64 guest
#   demo   the demo alone, in the i386 guest
#   wow64  the amd64 guest's part alone
#   job    the shell script JOB alone in the ARCH guest (i386), as one test
#          that passes when it exits 0
#
# All guest runs of one call share a budget of KELMO_GUEST_BUDGET seconds
# (3600), of which the i386 guest leaves KELMO_WOW64_BUDGET (900) to the amd64
# guest: a run that reaches its part is stopped, and whatever it had not
# finished counts as failed. Only a guest that powered off before its job ended
# is started once more, with what remains of its part. Each run's log is kept
# (KELMO_TEST32_LOGS, build/win32/test32). A test passes when a run reported it
# passed and none reported it failed; a test that no run reported, or a guest
# that cannot be built, counts as failed.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/follow.sh"
tree=$(cd "$here/../.." && pwd)
build=$tree/build/win32
mode=${1:-test}
case $mode in
  test | demo | wow64) ;;
  job) job=$(cd "$(dirname "${2:?usage: test32.sh job JOB [ARCH]}")" && pwd)/$(basename "$2") job_arch=${3:-i386} ;;
  *) echo "usage: test32.sh [test | demo | wow64 | job JOB [ARCH]]" >&2; exit 2 ;;
esac
cd "$tree"
[ -f "$build/CTestTestfile.cmake" ] || { echo "test32: the win32 build is missing" >&2; exit 1; }
case $mode in
  test | wow64) [ -f "$tree/build/win64/CTestTestfile.cmake" ] || { echo "test32: the win64 build is missing" >&2; exit 1; } ;;
esac
logs=${KELMO_TEST32_LOGS:-$build/test32}
mkdir -p "$logs" && rm -f "$logs"/*.log "$logs"/results

trap stop_followed EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Every test this call is to report, one name a line.
expected=$logs/expected
{
  case $mode in
    test)
      { ctest --preset guest-scripts -N && ctest --preset win32-wine -N; } | sed -n 's/^ *Test *#[0-9]*: //p'
      echo demo ;;
    demo) echo demo ;;
    job) echo job ;;
  esac
  case $mode in
    test | wow64) tests/wow64/wow64_proof.sh --list && tests/installer/msi_proof.sh --list ;;
  esac
} >"$expected"

# results LOG: "NAME passed" or "NAME failed" for each test that CTest, the
# demo or a proof's step reported in LOG.
results() {
  sed -n -e 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .* Passed .*/\1 passed/p' \
         -e 't' -e 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*/\1 failed/p' \
         -e 's/^demo exit code: 0$/demo passed/p' -e 't' -e 's/^demo exit code: .*/demo failed/p' \
         -e 's/^verdict: \([^ ]*\) \(passed\|failed\)\( .*\)*$/\1 \2/p' "$1"
}

# guest_ready ARCH: builds or finds the guest and holds it (descriptor 9, the
# one guest a call holds at a time), so that no builder removes it under the
# run; a guest removed before it was held is looked up again.
guest_ready() {
  for attempt in 1 2 3; do
    guest=$("$here/build.sh" "$1") || return 1
    exec 9>"$guest.lock"
    flock -s 9
    [ -f "$guest/ready" ] && return 0
  done
  return 1
}

# runs ARCH JOB BUDGET: JOB in the ARCH guest, started once more only when the
# guest powered off before the job ended; logs ARCH-runN.log.
runs() {
  arch=$1 job=$2 budget=$3
  guest_ready "$arch" || { echo "test32: no $arch guest"; return; }
  runs_started=$(date +%s)
  for attempt in 1 2; do
    remaining=$((budget - ($(date +%s) - runs_started)))
    [ $remaining -gt 0 ] || { echo "test32: no time left of the $arch budget of $budget s"; break; }
    log=$logs/$arch-run$attempt.log
    KELMO_GUEST_TIMEOUT=$remaining follow "$log" "$log" "$here/run.sh" "$guest" "$job" "$tree"
    status=$?
    results "$log" >>"$logs/results"
    if [ "$mode" = job ]; then
      [ $status -eq 0 ] && echo "job passed" >>"$logs/results" || echo "job failed" >>"$logs/results"
    fi
    [ $status -eq 124 ] && echo "test32: the $arch guest's run was stopped at its budget of $budget s"
    [ $status -eq 125 ] && [ $attempt -eq 1 ] || break
    echo "test32: the $arch guest stopped before its job ended; starting it once more (the first run's log: $log)"
  done
}

started=$(date +%s)
budget=${KELMO_GUEST_BUDGET:-3600}
case $mode in
  test)
    echo "== the guest scripts' own checks"
    follow "$logs/guest-scripts.log" "$logs/guest-scripts.log" ctest --preset guest-scripts
    results "$logs/guest-scripts.log" >>"$logs/results"
    guests_started=$(date +%s)
    runs i386 "$here/test32-job.sh" $((budget - ${KELMO_WOW64_BUDGET:-900}))
    runs amd64 "$here/wow64-job.sh" $((budget - ($(date +%s) - guests_started))) ;;
  demo) runs i386 "$here/demo32-job.sh" "$budget" ;;
  wow64) runs amd64 "$here/wow64-job.sh" "$budget" ;;
  job) runs "$job_arch" "$job" "$budget" ;;
esac
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
