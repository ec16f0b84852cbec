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
# One deadline bounds everything a call does: building or finding the guests
# (their downloads and first boots included), the guest scripts' checks and
# the runs. It is KELMO_DEADLINE (seconds since the epoch; .ci/run sets it so
# that CI ends in time), or KELMO_GUEST_BUDGET seconds after the start
# (3600 when neither is set), whichever comes first. The parts come one after
# the other, the guests first; each is stopped at the deadline less what is
# kept for the amd64 guest's run that comes last (KELMO_WOW64_BUDGET, 1200),
# and a build or the checks also at a cap of their own, so that one hang
# leaves time to the parts after it. What a part had not finished when it was
# stopped, or when no time was left to start it, counts as failed, and one
# line names the parts that ran out with how long each part took. Interrupted, the call still reports what it counted.
#
# Only a guest that powered off before its job ended is started once more,
# with what remains of its time. Each run's log is kept (KELMO_TEST32_LOGS,
# build/win32/test32). A test passes when a run reported it passed and none
# reported it failed; a test that no run reported, or a guest that cannot be
# built, counts as failed. KELMO_TEST32_HANG=ARCH, a test switch, gives that
# guest a job that never ends.
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
# The guests see this tree at its own path, through qemu's comma-separated
# options and the guest's own scripts; runs from a path with a blank or a
# comma are not proven, so none starts.
case $tree in
  *[[:space:],]*) echo "test32: the checkout's path '$tree' holds a blank or a comma, which the guests' runs do not support; clone the project to a path without them" >&2
                  exit 2 ;;
esac
cd "$tree"
[ -f "$build/CTestTestfile.cmake" ] || { echo "test32: the win32 build is missing" >&2; exit 1; }
case $mode in
  test | wow64) [ -f "$tree/build/win64/CTestTestfile.cmake" ] || { echo "test32: the win64 build is missing" >&2; exit 1; } ;;
esac

started=$(date +%s)
case ${KELMO_DEADLINE:-} in
  '') deadline=$((started + ${KELMO_GUEST_BUDGET:-3600})) ;;
  *[!0-9]*) echo "test32: KELMO_DEADLINE is '$KELMO_DEADLINE', not a number of seconds since the epoch" >&2; exit 2 ;;
  *) deadline=$KELMO_DEADLINE
     [ -z "${KELMO_GUEST_BUDGET:-}" ] || [ $((started + KELMO_GUEST_BUDGET)) -ge "$deadline" ] ||
       deadline=$((started + KELMO_GUEST_BUDGET)) ;;
esac
wow64_keep=${KELMO_WOW64_BUDGET:-1200}

# Only the files this script writes are replaced: the folder may hold others.
logs=${KELMO_TEST32_LOGS:-$build/test32}
mkdir -p "$logs" || exit 1
for file in expected results guest-scripts.log i386-guest.log amd64-guest.log hang.sh \
  i386-run1.log i386-run2.log amd64-run1.log amd64-run2.log; do
  rm -f "$logs/$file"
done
: >"$logs/results"

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

parts= out_of_time=
# part_done NAME STARTED STATUS: notes how long the part NAME took, and whether
# it ran out of time (STATUS 124, or 137 when timeout had to kill it).
part_done() {
  took=$(($(date +%s) - $2))
  if [ "$3" -eq 124 ] || [ "$3" -eq 137 ]; then
    parts="$parts${parts:+, }$1 $took s (out of time)"
    out_of_time="$out_of_time${out_of_time:+, }$1"
  else
    parts="$parts${parts:+, }$1 $took s"
  fi
}
# bound KEEP [CAP]: the seconds a part may take, so that KEEP remain before
# the deadline, and at most CAP; 0 when none are left.
bound() {
  left=$((deadline - $(date +%s) - $1))
  [ $# -lt 2 ] || [ "$left" -le "$2" ] || left=$2
  [ "$left" -gt 0 ] || left=0
  echo "$left"
}

# results LOG: "NAME passed" or "NAME failed" for each test that CTest, the
# demo or a proof's step reported in LOG.
results() {
  sed -n -e 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .* Passed .*/\1 passed/p' \
         -e 't' -e 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*/\1 failed/p' \
         -e 's/^demo exit code: 0$/demo passed/p' -e 't' -e 's/^demo exit code: .*/demo failed/p' \
         -e 's/^verdict: \([^ ]*\) \(passed\|failed\)\( .*\)*$/\1 \2/p' "$1" 2>/dev/null
}

report() {
  passed=0 failed=0
  while read -r name; do
    if grep -qx "$name passed" "$logs/results" 2>/dev/null && ! grep -qx "$name failed" "$logs/results"; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
    fi
  done <"$expected"
  echo "test32: took $(($(date +%s) - started)) s under software emulation (not a measure of the programs' speed); logs in $logs"
  if [ -n "$out_of_time" ]; then
    echo "test32: out of time in: $out_of_time (deadline $(date -u -d "@$deadline" +%H:%M:%S) UTC); the parts took: $parts"
  else
    echo "test32: the parts took: ${parts:-nothing}"
  fi
  echo "test32: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
interrupted() {
  trap - EXIT HUP INT TERM
  stop_followed
  echo "test32: interrupted"
  report
  exit "$1"
}
trap stop_followed EXIT
trap 'interrupted 129' HUP
trap 'interrupted 130' INT
trap 'interrupted 143' TERM

# guest_ready ARCH KEEP CAP: builds or finds the guest within its bound and
# holds it (descriptor 6 for i386, 7 for amd64), so that no builder removes it
# under a run; a guest removed before it was held is looked up again. The
# builder runs in the background, where a signal to this script can end it.
guest_ready() {
  part_started=$(date +%s) status=1
  for attempt in 1 2 3; do
    limit=$(bound "$2" "$3")
    [ "$limit" -gt 0 ] || { status=124; break; }
    : >"$logs/$1-guest.log"  # there before follow shows it
    follow "$logs/$1-guest.log" "$logs/$1-guest.log" timeout -k 10 "$limit" "$here/build.sh" "$1"
    status=$?
    [ $status -eq 0 ] || break
    folder=$(tail -n 1 "$logs/$1-guest.log")
    case $1 in
      i386) exec 6>"$folder.lock" && flock -s 6 ;;
      amd64) exec 7>"$folder.lock" && flock -s 7 ;;
    esac
    [ -f "$folder/ready" ] && break
    status=1
  done
  part_done "$1 guest" "$part_started" $status
  case $status in
    0) eval "guest_$1=\$folder" ;;
    124 | 137) echo "test32: no $1 guest: out of time" ;;
    *) echo "test32: no $1 guest" ;;
  esac
}

# runs ARCH JOB KEEP: JOB in the ARCH guest, stopped when only KEEP seconds
# remain; started once more only when the guest powered off before the job
# ended. Logs ARCH-runN.log.
runs() {
  arch=$1 job=$2
  eval "guest=\${guest_$arch:-}"
  [ -n "$guest" ] || { parts="$parts, $arch run (no guest)"; return; }
  if [ "${KELMO_TEST32_HANG:-}" = "$arch" ]; then
    printf 'echo "the job started, and never ends (KELMO_TEST32_HANG)"\nsleep 100000\n' >"$logs/hang.sh"
    job=$logs/hang.sh
  fi
  part_started=$(date +%s) status=124
  for attempt in 1 2; do
    limit=$(bound "$3")
    [ "$limit" -gt 0 ] || { status=124; break; }
    log=$logs/$arch-run$attempt.log
    : >"$log"
    KELMO_GUEST_TIMEOUT=$limit follow "$log" "$log" "$here/run.sh" "$guest" "$job" "$tree"
    status=$?
    results "$log" >>"$logs/results"
    if [ "$mode" = job ]; then
      [ $status -eq 0 ] && echo "job passed" >>"$logs/results" || echo "job failed" >>"$logs/results"
    fi
    [ $status -eq 124 ] && echo "test32: the $arch guest's run was stopped at its bound of $limit s"
    [ $status -eq 125 ] && [ $attempt -eq 1 ] || break
    echo "test32: the $arch guest stopped before its job ended; starting it once more (the first run's log: $log)"
  done
  part_done "$arch run" "$part_started" $status
}

# checks: the guest scripts' own checks, which boot the i386 guest themselves.
checks() {
  echo "== the guest scripts' own checks"
  part_started=$(date +%s) status=124
  limit=$(bound "$wow64_keep" 1800)
  if [ "$limit" -gt 0 ]; then
    : >"$logs/guest-scripts.log"
    follow "$logs/guest-scripts.log" "$logs/guest-scripts.log" timeout -k 10 "$limit" ctest --preset guest-scripts
    status=$?
    results "$logs/guest-scripts.log" >>"$logs/results"
  fi
  part_done "guest-scripts checks" "$part_started" $status
}

# The caps of a guest's build cover its downloads and a first boot tried twice.
case $mode in
  test)
    guest_ready i386 "$wow64_keep" 1800
    guest_ready amd64 "$wow64_keep" 2400
    checks
    runs i386 "$here/test32-job.sh" "$wow64_keep"
    runs amd64 "$here/wow64-job.sh" 0 ;;
  demo) guest_ready i386 0 3600 && runs i386 "$here/demo32-job.sh" 0 ;;
  wow64) guest_ready amd64 0 3600 && runs amd64 "$here/wow64-job.sh" 0 ;;
  job) guest_ready "$job_arch" 0 3600 && runs "$job_arch" "$job" 0 ;;
esac
report
