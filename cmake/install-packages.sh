#!/bin/sh
# install-packages.sh PACKAGE...: installs from Debian's archive those of the
# packages that are missing. A package list that cannot be read is skipped
# with one line; the run fails only when a package cannot be had.
set -u
. "$(dirname "$0")/apt-lists.sh"
missing=
for package; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $package"
done
[ -n "$missing" ] || exit 0
echo "== installing from Debian's archive:$missing"
apt_update apt-get
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null ||
  { echo "install-packages: cannot install:$missing" >&2; exit 1; }
