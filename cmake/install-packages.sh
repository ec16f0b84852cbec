#!/bin/sh
# install-packages.sh PACKAGE...: installs from Debian's archive those of the
# packages that are missing. A package list that cannot be read is skipped
# with one line; the run fails only when a package cannot be had.
#
# Another apt run may hold apt's locks: on a machine that has just booted,
# unattended upgrades read the lists and install for minutes. Each step then
# says which lock it waits for, and which process holds it, and waits up to
# APT_LOCK_WAIT seconds (600): apt-get install itself (DPkg::Lock::Timeout),
# and apt-get update, which does not wait for the lists' lock, tried again
# every 5 s.
set -u
. "$(dirname "$0")/apt-lists.sh"
missing=
for package; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $package"
done
[ -n "$missing" ] || exit 0
lock_wait=${APT_LOCK_WAIT:-600}
waiting="another apt run, unattended upgrades perhaps, for up to $lock_wait s"
echo "== installing from Debian's archive:$missing"
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
exec 3>&2

# apt_get_waiting ARG...: apt-get ARG..., tried again while it fails only for a lock.
apt_get_waiting() {
  waited=0
  while :; do
    apt-get "$@" 2>"$errors" && return 0
    held=$(sed -n 's/^E: Could not get lock \(.*\)$/\1/p' "$errors" | head -n 1)
    if [ -z "$held" ] || [ "$waited" -ge "$lock_wait" ]; then
      cat "$errors" >&2
      return 1
    fi
    [ "$waited" -gt 0 ] || echo "== waiting for $waiting: could not get lock $held" >&3
    sleep 5
    waited=$((waited + 5))
  done
}
apt_update apt_get_waiting

# apt-get -q prints "Waiting for cache lock: ..." while it waits; only the first is kept.
# shellcheck disable=SC2086
status=$({ DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
             -o DPkg::Lock::Timeout="$lock_wait" $missing 3>&-; echo $? >"$errors"; } |
         awk -v waiting="$waiting" '/^Waiting for cache lock: / && !told {
             told = 1; sub(/^Waiting for cache lock: /, ""); sub(/\.\.\.$/, "")
             print "== waiting for " waiting ": " $0 > "/dev/stderr" }'; cat "$errors")
[ "$status" = 0 ] || { echo "install-packages: cannot install:$missing" >&2; exit 1; }
