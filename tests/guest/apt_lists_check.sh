#!/bin/sh
# A package list that a mirror serves half-synced stops neither the guest's
# package resolution nor the host's install step. A throwaway file:// archive
# stands in for Debian's: its main suite holds an empty package for every
# package of the i386 guest, while the list of the suite bookworm-security does
# not match its Release file.
set -eu
top=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
archive=$work/debian

# package NAME: an empty package NAME in the pool.
package() {
  mkdir -p "$work/package/DEBIAN" "$archive/pool"
  printf 'Package: %s\nVersion: 1\nArchitecture: all\nMaintainer: test <test@example.com>\nDescription: empty\n' "$1" \
    >"$work/package/DEBIAN/control"
  dpkg-deb -b "$work/package" "$archive/pool/$1_1_all.deb" >/dev/null
}
# list SUITE COMPONENT SIZE_OFFSET PACKAGE...: a Packages list and its Release
# entry, whose size is off by SIZE_OFFSET.
list() {
  suite=$1 component=$2 offset=$3; shift 3
  dir=$archive/dists/$suite/$component/binary-i386
  mkdir -p "$dir"
  for name; do
    deb=pool/${name}_1_all.deb
    printf 'Package: %s\nVersion: 1\nArchitecture: all\nFilename: %s\nSize: %s\nSHA256: %s\nDescription: empty\n\n' \
      "$name" "$deb" "$(stat -c %s "$archive/$deb")" "$(sha256sum "$archive/$deb" | cut -d' ' -f1)"
  done >"$dir/Packages"
  printf ' %s %s %s/binary-i386/Packages\n' "$(sha256sum "$dir/Packages" | cut -d' ' -f1)" \
    $(($(stat -c %s "$dir/Packages") + offset)) "$component" >>"$archive/dists/$suite/entries"
}
release() {
  { printf 'Suite: %s\nCodename: %s\nDate: Thu, 01 Jan 2026 00:00:00 UTC\nArchitectures: i386\nSHA256:\n' "$1" "$1"
    cat "$archive/dists/$1/entries"; } >"$archive/dists/$1/Release"
}

guest_packages=$(sed 's/#.*//' "$top/cmake/guest/packages-i386.txt")
for name in $guest_packages kelmo-probe; do package "$name"; done
list bookworm main 0 $guest_packages kelmo-probe
list bookworm-security main 7 kelmo-probe
release bookworm
release bookworm-security

root=$work/root
mkdir -p "$root/etc/apt/sources.list.d" "$root/etc/apt/apt.conf.d" "$root/var/lib/apt/lists/partial" "$root/var/cache/apt/archives/partial" \
         "$root/var/lib/dpkg"
touch "$root/var/lib/dpkg/status"
printf 'deb [trusted=yes] file://%s bookworm main\ndeb [trusted=yes] file://%s bookworm-security main\n' \
  "$archive" "$archive" >"$root/etc/apt/sources.list"
printf 'Dir "%s/";\nDir::State::status "%s/var/lib/dpkg/status";\nAPT::Architecture "i386";\nDebug::NoLocking "true";\n' \
  "$root" "$root" >"$work/apt.conf"
export APT_CONFIG=$work/apt.conf
export KELMO_GUEST_CACHE=$work/cache

fail() { printf '%s\n' "$*"; exit 1; }
expect_skipped() {  # OUTPUT LIST...
  output=$1; shift
  for skipped; do
    case $output in *"skipped the suite $skipped, "*) ;; *) fail "no skipped $skipped in: $output" ;; esac
  done
}

resolved=$("$top/cmake/guest/build.sh" --resolve i386 2>"$work/resolve.err") ||
  fail "the guest's packages did not resolve: $(cat "$work/resolve.err")"
for name in $guest_packages; do
  printf '%s\n' "$resolved" | grep -qx "${name}_1_all.deb" || fail "$name missing from: $resolved"
done

# The host's install step only pretends to install.
cp "$work/apt.conf" "$work/install.conf"
echo 'APT::Get::Simulate "true";' >>"$work/install.conf"
export APT_CONFIG=$work/install.conf
output=$("$top/cmake/install-packages.sh" kelmo-probe 2>&1) || fail "the install step stopped: $output"
expect_skipped "$output" bookworm-security
if output=$("$top/cmake/install-packages.sh" kelmo-absent 2>&1); then
  fail "a package that no list holds was reported installed: $output"
fi
case $output in *"cannot install: kelmo-absent"*) ;; *) fail "no refusal naming kelmo-absent in: $output" ;; esac

# A package that cannot be downloaded (a mirror in the middle of a sync) fails
# a build only while no guest that these scripts built is ready in the cache.
export APT_CONFIG=$work/apt.conf
rm "$archive/pool/busybox-static_1_all.deb"
if output=$("$top/cmake/guest/build.sh" i386 2>&1); then fail "a build whose download failed gave a guest: $output"; fi
case $output in *"cannot download the guest's packages"*) ;; *) fail "no failed download named in: $output" ;; esac
name=$(printf '%s\n' "$output" | sed -n "s|^guest: building the i386 guest in $KELMO_GUEST_CACHE/||p")
[ -n "$name" ] && [ ! -e "$KELMO_GUEST_CACHE/$name" ] || fail "a half-made guest '$name' was left: $output"
older=$KELMO_GUEST_CACHE/${name%-*}-older
mkdir -p "$older" && touch "$older/ready"
guest=$("$top/cmake/guest/build.sh" i386 2>"$work/build.err") || fail "the ready guest did not serve: $(cat "$work/build.err")"
[ "$guest" = "$older" ] || fail "build.sh gave '$guest', not the ready guest $older"
