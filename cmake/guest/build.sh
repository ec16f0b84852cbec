#!/bin/sh
# build.sh [--resolve] ARCH: prints the folder of the emulated Debian machine
# for ARCH (i386 or amd64), building it first when the cache holds none for the
# current packages and these scripts. With --resolve it only prints the package files
# the guest is made of.
#
# The guest's root is assembled on this machine from the packages' contents,
# without running their maintainer scripts (which would need an emulated
# chroot and take most of an hour); the few things those scripts would have
# done are done here or at the guest's first boot. The guest is booted from its
# own kernel with a small initramfs of busybox and the drivers it needs.
#
# The cache (KELMO_GUEST_CACHE, or by its older name KELMO_GUEST32_CACHE;
# /var/cache/kelmo7-guests) holds one folder a guest, ARCH-SCRIPTS-PACKAGES,
# named by hashes of the scripts that build it and of the package files it is
# made of. One builder at a time works on an
# architecture (ARCH.build.lock); a run holds its guest's lock (FOLDER.lock)
# shared, and an older guest is removed only once a new one is ready and only
# while nobody holds its lock.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../apt-lists.sh"
cache=${KELMO_GUEST_CACHE:-${KELMO_GUEST32_CACHE:-/var/cache/kelmo7-guests}}
say() { printf 'guest: %s\n' "$*" >&2; }
resolve_only=
[ "${1:-}" = --resolve ] && { resolve_only=1; shift; }
arch=${1:?usage: build.sh [--resolve] ARCH}

# What differs between the guests: the architectures apt resolves for (the
# first is the native one), the emulator, and the size of the root's disk.
# -smap,-smep: without them the guest kernel oopses on Wine's return to user
# mode. The amd64 guest runs 64-bit Wine with its 32-bit half (WoW64), whose
# prefix needs room: on a 4 GB disk wineboot ran out of space (copy error
# 112) and left the 32-bit half without its proxy/stub classes.
case $arch in
  i386)
    architectures=i386
    emulator="qemu-system-i386 -cpu max,-smap,-smep"
    disk=4G ;;
  amd64)
    architectures="amd64 i386"
    emulator="qemu-system-x86_64 -cpu max,-smap,-smep"
    disk=10G ;;
  *) say "no guest for the architecture '$arch'"; exit 2 ;;
esac
# The drivers the initramfs loads, in load order: the virtio disk with ext4,
# 9p over virtio for the shared folders, and overlayfs.
modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci virtio_blk
         crc16 mbcache jbd2 crc32c_generic ext4 netfs fscache 9pnet 9pnet_virtio 9p overlay"

# Debian's main suite, as this machine's apt names it (apt's own configuration,
# so APT_CONFIG can point elsewhere), with every component it lists and the
# key it is signed with. The guest's packages all come from it: the security
# and updates suites change every few days, and a list that a mirror serves
# half-synced stops nothing.
debian_main_suite() {
  eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  { cat "$list" "$parts"*.list 2>/dev/null | awk '
      $1 != "deb" {next}
      {options = ""; i = 2}
      $2 ~ /^\[/ {for (; i <= NF; i++) {options = options " " $i; if ($i ~ /\]$/) {i++; break}}}
      {gsub(/[][]/, "", options); for (c = i + 2; c <= NF; c++) print $i, $(i + 1), $c, options}'
    awk '
      function flush() {
        if (deb && uri != "") for (i = 2; i <= n; i++) for (j = 2; j <= m; j++) print uri, s[i], c[j], options
        deb = 0; uri = ""; n = 0; m = 0; options = ""
      }
      FNR == 1 || /^[ \t]*$/ {flush()}
      /^Types:/ {deb = $0 ~ /[ \t]deb([ \t]|$)/}
      /^URIs:/ {uri = $2}
      /^Suites:/ {n = split($0, s, " ")}
      /^Components:/ {m = split($0, c, " ")}
      /^Signed-By: *\// {options = options " signed-by=" $2}
      /^Trusted: *yes/ {options = options " trusted=yes"}
      END {flush()}' "$parts"*.sources 2>/dev/null
  } | awk -v arch="$(echo $architectures | tr ' ' ,)" '$1 ~ /\/debian\/?$/ && $2 !~ /-/ {
      options = ""; for (i = 4; i <= NF; i++) if ($i !~ /^arch=/) options = options " " $i
      if (options !~ /signed-by=|trusted=/) options = options " signed-by=/usr/share/keyrings/debian-archive-keyring.gpg"
      printf "deb [arch=%s%s] %s %s %s\n", arch, options, $1, $2, $3 }' |
    LC_ALL=C sort -u
}

work=$(mktemp -d "${TMPDIR:-/tmp}/guest-build.XXXXXX")
guest=
cleanup() {
  rm -rf "$work"
  # A guest interrupted while being built is never left half made.
  [ -z "$guest" ] || [ -f "$guest/ready" ] || rm -rf "$guest"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# An apt of its own for the guest's architecture.
apt=$work/apt
mkdir -p "$apt/etc/apt/apt.conf.d" "$apt/etc/apt/preferences.d" "$apt/etc/apt/sources.list.d" \
         "$apt/var/lib/apt/lists/partial" "$apt/var/cache/apt/archives/partial" "$apt/var/lib/dpkg"
touch "$apt/var/lib/dpkg/status"
debian_main_suite >"$apt/etc/apt/sources.list"
[ -s "$apt/etc/apt/sources.list" ] || { say "no Debian main suite in this machine's apt sources"; exit 1; }
# $within, when set, bounds the call: "timeout SECONDS".
within=
aptget() {
  $within apt-get -qq -o Dir="$apt" -o Dir::State::status="$apt/var/lib/dpkg/status" \
    -o Dir::Etc::sourcelist="$apt/etc/apt/sources.list" -o Dir::Etc::sourceparts="$apt/etc/apt/sources.list.d" \
    -o APT::Architecture="$arch" $(for a in $architectures; do printf ' -o APT::Architectures::=%s' "$a"; done) \
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root "$@"
}
packages=$(sed 's/#.*//' "$here/packages-$arch.txt")

# The scripts' part of the key, computed in one locale for every caller.
scripts=$(cd "$here" && cat build.sh run.sh follow.sh "packages-$arch.txt" initramfs-init guest-init first-boot.sh ../apt-lists.sh |
  LC_ALL=C sha256sum | cut -c1-12)

# older_guest WHY: when Debian's archive cannot give what a build needs (a
# list or a package that a mirror in the middle of a sync cannot serve, a
# network error), the newest ready guest that these scripts built serves, and
# only such a guest; WHY says what failed.
older_guest() {
  ready=
  [ -n "$resolve_only" ] ||
    ready=$(LC_ALL=C ls -t "$cache/$arch-$scripts"-*/ready 2>/dev/null | head -n 1)
  [ -n "$ready" ] || { say "$1"; exit 1; }
  say "$1; using the guest these scripts built before"
  dirname "$ready"
  exit 0
}

apt_update aptget
uris=$(aptget --print-uris --no-install-recommends install $packages) ||
  older_guest "cannot resolve the guest's packages from Debian's main suite"
if [ -n "$resolve_only" ]; then
  printf '%s\n' "$uris" | awk '{print $2}' | LC_ALL=C sort
  exit 0
fi

packages_key=$(printf '%s\n' "$uris" | awk '{print $2}' | LC_ALL=C sort | LC_ALL=C sha256sum | cut -c1-12)
name=$arch-$scripts-$packages_key
mkdir -p "$cache"
exec 8>"$cache/$arch.build.lock"
flock 8
if [ -f "$cache/$name/ready" ]; then echo "$cache/$name"; exit 0; fi

say "building the $arch guest in $cache/$name"
started=$(date +%s)
guest=$cache/$name
rm -rf "$guest" && mkdir -p "$guest"
# A download that stalls is given up after KELMO_GUEST_DOWNLOAD_TIMEOUT
# seconds (900; they took about a minute here).
within="timeout -k 10 ${KELMO_GUEST_DOWNLOAD_TIMEOUT:-900}"
if ! aptget --no-install-recommends --download-only install $packages; then
  rm -rf "$guest"
  older_guest "cannot download the guest's packages from Debian's main suite"
fi
within=
root=$work/root
mkdir "$root"
for deb in "$apt"/var/cache/apt/archives/*.deb; do dpkg-deb -x "$deb" "$root"; done
say "unpacked $(ls "$apt"/var/cache/apt/archives/*.deb | wc -l) packages in $(( $(date +%s) - started )) s"

# The kernel, and the modules the initramfs loads; the root keeps neither.
release=$(ls "$root/lib/modules")
cp "$root/boot/vmlinuz-$release" "$guest/vmlinuz"
initramfs=$work/initramfs
mkdir -p "$initramfs/bin" "$initramfs/modules" "$initramfs/proc" "$initramfs/dev"
cp "$root/bin/busybox" "$initramfs/bin/busybox"
cp "$here/initramfs-init" "$initramfs/init"
for m in $modules; do
  find "$root/lib/modules/$release" -name "$m.ko" -exec cp {} "$initramfs/modules/" \;
  [ -f "$initramfs/modules/$m.ko" ] || { say "the kernel has no module $m"; exit 1; }
  echo "$m" >>"$initramfs/modules/order"
done
(cd "$initramfs" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) >"$work/initrd.cpio"
gzip -1 <"$work/initrd.cpio" >"$guest/initrd.gz"
rm -rf "$root/boot" "$root/lib/modules" "$root/usr/share/doc" "$root/usr/share/man" "$root/usr/share/info"

# What the maintainer scripts would have done: accounts, the alternatives
# that name Wine's commands, the guest's init.
cp "$root/usr/share/base-passwd/passwd.master" "$root/etc/passwd"
cp "$root/usr/share/base-passwd/group.master" "$root/etc/group"
for tool in "$root"/usr/bin/*-stable; do
  ln -sf "$(basename "$tool")" "$root/usr/bin/$(basename "$tool" -stable)"
done
cp "$here/guest-init" "$root/sbin/guest-init"
# Each libwine's own script (one an architecture) turns zlib's DLLs into
# Wine's builtin ones; the first boot runs them.
for deb in "$apt"/var/cache/apt/archives/libwine_*.deb; do
  deb_arch=${deb##*_}
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst >"$root/sbin/libwine-postinst-${deb_arch%.deb}"
done
mkdir -p "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/root"

echo "$emulator" >"$guest/emulator"

# The first boot finishes what needs the guest's own programs: the library
# cache, and a Wine prefix that every run copies instead of booting Wine anew.
# A first boot that fails (seen once, under heavy load, without a word) is
# tried once more on a disk made anew.
for attempt in 1 2; do
  rm -f "$guest/root.img"
  mke2fs -q -t ext4 -L guest -d "$root" "$guest/root.img" "$disk" >/dev/null
  say "root image made after $(( $(date +%s) - started )) s"
  KELMO_GUEST_TIMEOUT=900 "$here/run.sh" --first-boot "$guest" "$here/first-boot.sh" >&2 && break
  [ $attempt -eq 1 ] || { say "the guest's first boot failed twice"; exit 1; }
  say "the guest's first boot failed; making its disk anew and booting it once more"
done
touch "$guest/ready"
say "guest built in $(( $(date +%s) - started )) s"

# The guests this one replaces, each only while no run holds it.
for old in "$cache/$arch"-*; do
  [ -d "$old" ] && [ "$old" != "$guest" ] || continue
  flock -xn "$old.lock" rm -rf "$old" "$old.lock" || say "kept $old: a run is using it"
done
echo "$guest"
