#!/bin/sh
# run.sh [--first-boot] GUEST JOB [TREE]: boots the guest in GUEST under qemu
# (software emulation), runs the shell script JOB in it with TREE shared
# read-only at its own path, prints the job's output and exits with its status.
# The guest's disk is left untouched unless this is its first boot.
#
# A run that has not ended after KELMO_GUEST_TIMEOUT seconds (3600) is stopped
# and exits 124. A guest that powers off before its job ends, or never boots,
# says so and exits 125. Interrupted, the run stops its emulator and leaves
# nothing behind.
set -u
. "$(dirname "$0")/follow.sh"
snapshot=on
[ "${1:-}" = --first-boot ] && { snapshot=off; shift; }
guest=${1:?usage: run.sh [--first-boot] GUEST JOB [TREE]}
job=${2:?usage: run.sh [--first-boot] GUEST JOB [TREE]}
tree=${3:-}
limit=${KELMO_GUEST_TIMEOUT:-3600}

shared=$(mktemp -d "${TMPDIR:-/tmp}/guest-job.XXXXXX")
cleanup() {
  stop_followed
  rm -rf "$shared"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

cp "$job" "$shared/job.sh"
: >"$shared/output"
# qemu's options are comma-separated: a comma in a path is written twice.
option_path() { printf '%s' "$1" | sed 's/,/,,/g'; }
# The emulator's command line, one word an argument: a path may hold blanks.
# shellcheck disable=SC2046
set -- $(cat "$guest/emulator") -accel tcg,thread=multi -smp 2 -m 3072 \
  -nodefaults -nographic -no-reboot -serial "file:$shared/console" \
  -kernel "$guest/vmlinuz" -initrd "$guest/initrd.gz" \
  -append "console=ttyS0 panic=-1" \
  -drive "file=$(option_path "$guest/root.img"),format=raw,if=virtio,snapshot=$snapshot" \
  -virtfs "local,path=$(option_path "$shared"),mount_tag=job,security_model=none"
if [ -n "$tree" ]; then
  tree=$(cd "$tree" && pwd)
  echo "$tree" >"$shared/tree"
  set -- "$@" -virtfs "local,path=$(option_path "$tree"),mount_tag=tree,security_model=none,readonly=on"
fi

# timeout --foreground keeps the emulator in this run's process group, so a
# kill of the whole job reaches it; -k ends one that ignores the polite signal.
follow - "$shared/output" timeout --foreground -k 10 "$limit" "$@"
ended=$?

if [ $ended -eq 124 ] || [ $ended -eq 137 ]; then
  echo "guest: stopped at its bound of $limit s, its job unfinished; its console:" >&2
  tail -n 30 "$shared/console" 2>/dev/null >&2
  exit 124
fi
if [ ! -s "$shared/status" ]; then
  echo "guest: the guest stopped before its job ended (qemu exit $ended); its console:" >&2
  tail -n 30 "$shared/console" 2>/dev/null >&2
  exit 125
fi
exit "$(cat "$shared/status")"
