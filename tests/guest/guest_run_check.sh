#!/bin/sh
# guest_run_check.sh ctrl-c|kill|hang: a run of `test32.sh job` whose job never
# ends, interrupted by a Ctrl-C to its process group or by a TERM to the script
# alone once the job has started, or left to reach a small budget, ends within
# seconds of that, reports the job failed (and never starts the guest twice
# after its budget), and leaves no emulator and no temp folder behind.
set -u
top=$(cd "$(dirname "$0")/../.." && pwd)
case=${1:?usage: guest_run_check.sh ctrl-c|kill|hang}
budget=3000
# The budget may run out while the guest boots or once its job has started:
# either way the run is stopped at it, which is what this case proves.
[ "$case" = hang ] && budget=60
work=$(mktemp -d)
pid=
cleanup() {
  # The run first gets the signal it handles, so that it stops what it
  # started in groups of their own (a guest's builder under timeout), then
  # KILL for whatever is left.
  if [ -n "$pid" ] && kill -s TERM -- "-$pid" 2>/dev/null; then
    i=0
    while kill -0 "$pid" 2>/dev/null && [ $i -lt 20 ]; do sleep 1; i=$((i + 1)); done
    kill -s KILL -- "-$pid" 2>/dev/null
  fi
  # A failed check leaves no emulator running either: every process of the
  # run names its temp folder.
  pkill -KILL -f -- "$work/tmp" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
# Stopped by CTest's timeout or an interrupt, the check still cleans up.
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$work/tmp" "$work/logs"
printf 'echo "the job started"\nsleep 100000\n' >"$work/job.sh"
fail() { printf 'guest_run_check %s: %s\n' "$case" "$*"; cat "$work/out"; exit 1; }

# Its own session and process group, and a Ctrl-C that is not ignored, as in a terminal.
started=$(date +%s)
TMPDIR=$work/tmp KELMO_TEST32_LOGS=$work/logs KELMO_GUEST_BUDGET=$budget \
  setsid env --default-signal=INT "$top/cmake/guest/test32.sh" job "$work/job.sh" >"$work/out" 2>&1 &
pid=$!

# ended_within SECONDS: whether the run ended within that many seconds.
ended_within() {
  i=0
  while kill -0 "$pid" 2>/dev/null; do
    [ $i -lt "$1" ] || return 1
    sleep 1; i=$((i + 1))
  done
}
if [ "$case" != hang ]; then
  i=0
  until grep -q "the job started" "$work/logs/i386-run1.log" 2>/dev/null; do
    [ $i -lt 900 ] && kill -0 "$pid" 2>/dev/null || fail "the job never started"
    sleep 1; i=$((i + 1))
  done
  case $case in
    ctrl-c) kill -s INT -- "-$pid" ;;
    kill) kill -TERM "$pid" ;;
  esac
  ended_within 20 || fail "still running 20 s after the signal"
  wait "$pid"
  status=$?
  expected=130
  [ "$case" = kill ] && expected=143
  [ $status -eq $expected ] || fail "exit status $status after the signal, expected $expected"
  grep -q "^test32: 0 passed, 1 failed$" "$work/out" || fail "no verdict of one failed job"
else
  # A budget counts from the guest's start; finding the guest takes seconds more.
  ended_within $((budget + 90)) || fail "still running $((budget + 90)) s after it started, with a budget of $budget s"
  wait "$pid" && fail "a job stopped at its budget passed"
  grep -q "^test32: 0 passed, 1 failed$" "$work/out" || fail "no verdict of one failed job"
  ! grep -q "starting it once more" "$work/out" || fail "the guest was started again after its budget"
fi
pid=
sleep 2
left=$(ps -eo pid=,args= | grep -F "$work" | grep -v -e grep -e guest_run_check)
[ -z "$left" ] || fail "left running: $left"
[ -z "$(ls -A "$work/tmp")" ] || fail "left in the temp folder: $(ls -A "$work/tmp")"
echo "guest_run_check $case: ended after $(($(date +%s) - started)) s, nothing left"
