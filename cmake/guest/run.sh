#!/bin/sh
# run.sh [--first-boot] GUEST JOB [TREE]: boots the i386 guest in GUEST under
# qemu (software emulation), runs the shell script JOB in it with TREE shared
# read-only at its own path, prints the job's output and exits with its status.
# The guest's disk is left untouched unless this is its first boot. A guest
# that does not boot or finish says so and exits 125.
set -u
snapshot=on
[ "${1:-}" = --first-boot ] && { snapshot=off; shift; }
guest=${1:?usage: run.sh [--first-boot] GUEST JOB [TREE]}
job=${2:?usage: run.sh [--first-boot] GUEST JOB [TREE]}
tree=${3:-}
limit=${KELMO_GUEST32_TIMEOUT:-3600}

shared=$(mktemp -d "${TMPDIR:-/tmp}/guest32-job.XXXXXX")
trap 'rm -rf "$shared"' EXIT
cp "$job" "$shared/job.sh"
: >"$shared/output"
treeshare=
if [ -n "$tree" ]; then
  tree=$(cd "$tree" && pwd)
  echo "$tree" >"$shared/tree"
  treeshare="-virtfs local,path=$tree,mount_tag=tree,security_model=none,readonly=on"
fi

# -smap,-smep: without them the guest kernel oopses on Wine's return to user mode.
# shellcheck disable=SC2086
timeout "$limit" qemu-system-i386 -accel tcg,thread=multi -smp 2 -m 3072 -cpu max,-smap,-smep \
  -nodefaults -nographic -no-reboot -serial "file:$shared/console" \
  -kernel "$guest/vmlinuz" -initrd "$guest/initrd.gz" \
  -append "console=ttyS0 panic=-1" \
  -drive "file=$guest/root.img,format=raw,if=virtio,snapshot=$snapshot" \
  -virtfs "local,path=$shared,mount_tag=job,security_model=none" $treeshare &
qemu=$!
tail -n +1 -f --pid=$qemu "$shared/output"
wait $qemu; booted=$?

if [ ! -s "$shared/status" ]; then
  echo "guest32: the guest did not finish its job (qemu exit $booted); its console:" >&2
  tail -n 30 "$shared/console" 2>/dev/null >&2
  exit 125
fi
exit "$(cat "$shared/status")"
