#!/bin/sh
# build.sh: prints the folder of the i386 guest that runs the 32-bit build
# under Debian's 32-bit Wine, building it first when the cache has no guest
# for the current packages and these scripts.
#
# The guest's root is assembled on this machine from the packages' contents,
# without running their maintainer scripts (which would need an emulated
# chroot and take most of an hour); the few things those scripts would have
# done are done here or at the guest's first boot. The guest is booted from its
# own kernel with a small initramfs of busybox and the drivers it needs.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
cache=${KELMO_GUEST32_CACHE:-/var/cache/kelmo7-guest32}
say() { printf 'guest32: %s\n' "$*" >&2; }

# The drivers the initramfs loads, in load order: the virtio disk with ext4,
# 9p over virtio for the shared folders, and overlayfs.
modules="virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci virtio_blk
         crc16 mbcache jbd2 crc32c_generic ext4 netfs fscache 9pnet 9pnet_virtio 9p overlay"

# This machine's Debian archive entries, as one-line sources for i386.
debian_sources() {
  { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '$1 == "deb" && $0 !~ /\[/ {print $2, $3, $4}'
    cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '
      /^URIs:/ {uri = $2} /^Suites:/ {n = split($0, s, " ")}
      /^Components:/ {for (i = 2; i <= n; i++) print uri, s[i], $2}'
  } | awk '$1 ~ /\/debian(-security)?\/?$/ {
      printf "deb [arch=i386 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s %s\n", $1, $2, $3 }' | sort -u
}

work=$(mktemp -d "${TMPDIR:-/tmp}/guest32-build.XXXXXX")
trap 'rm -rf "$work"' EXIT

# An apt of its own for i386, reading the Debian archive this machine uses.
apt=$work/apt
mkdir -p "$apt/etc/apt/apt.conf.d" "$apt/etc/apt/preferences.d" "$apt/etc/apt/sources.list.d" \
         "$apt/var/lib/apt/lists/partial" "$apt/var/cache/apt/archives/partial" "$apt/var/lib/dpkg"
touch "$apt/var/lib/dpkg/status"
debian_sources >"$apt/etc/apt/sources.list"
[ -s "$apt/etc/apt/sources.list" ] || { say "no Debian archive in this machine's apt sources"; exit 1; }
aptget() {
  apt-get -qq -o Dir="$apt" -o Dir::State::status="$apt/var/lib/dpkg/status" \
    -o APT::Architecture=i386 -o APT::Architectures::=i386 -o Debug::NoLocking=1 -o APT::Sandbox::User=root "$@"
}
packages=$(sed 's/#.*//' "$here/packages.txt")
# A mirror in the middle of a sync serves package lists of the wrong size for
# a while: read them up to three times. Without them the packages cannot be
# resolved, and the guest already in the cache, if any, serves as it is.
tries=1
until aptget update && uris=$(aptget --print-uris --no-install-recommends install $packages); do
  if [ $tries -ge 3 ]; then
    ready=$(ls "$cache"/*/ready 2>/dev/null | head -n 1)
    [ -n "$ready" ] || { say "cannot read Debian's i386 package lists"; exit 1; }
    say "cannot read Debian's i386 package lists; using the guest in the cache"
    dirname "$ready"
    exit 0
  fi
  say "reading Debian's i386 package lists failed; trying again in 30 s"
  tries=$((tries + 1))
  sleep 30
done

# The key: what the guest is made of and how.
key=$( { printf '%s\n' "$uris" | awk '{print $2}' | sort
         cat "$here/build.sh" "$here/packages.txt" "$here/initramfs-init" "$here/guest-init" "$here/first-boot.sh"
       } | sha256sum | cut -c1-16)
guest=$cache/$key
if [ -f "$guest/ready" ]; then echo "$guest"; exit 0; fi

say "building the guest in $guest"
started=$(date +%s)
rm -rf "$cache" && mkdir -p "$guest"
aptget --no-install-recommends --download-only install $packages
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
(cd "$initramfs" && find . | cpio -o -H newc --quiet) | gzip -1 >"$guest/initrd.gz"
rm -rf "$root/boot" "$root/lib/modules" "$root/usr/share/doc" "$root/usr/share/man" "$root/usr/share/info"

# What the maintainer scripts would have done: accounts, the alternatives
# that name Wine's commands, the guest's init.
cp "$root/usr/share/base-passwd/passwd.master" "$root/etc/passwd"
cp "$root/usr/share/base-passwd/group.master" "$root/etc/group"
for tool in "$root"/usr/bin/*-stable; do
  name=$(basename "$tool" -stable)
  ln -sf "$(basename "$tool")" "$root/usr/bin/$name"
done
cp "$here/guest-init" "$root/sbin/guest32-init"
# libwine's own script turns zlib's DLLs into Wine's builtin ones; the first
# boot runs it.
dpkg-deb --ctrl-tarfile "$apt"/var/cache/apt/archives/libwine_*.deb | tar -xO ./postinst >"$root/sbin/libwine-postinst"
mkdir -p "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/root"

mke2fs -q -t ext4 -L guest32 -d "$root" "$guest/root.img" 4G >/dev/null
say "root image made after $(( $(date +%s) - started )) s"

# The first boot finishes what needs the guest's own programs: the library
# cache, and a Wine prefix that every run copies instead of booting Wine anew.
"$here/run.sh" --first-boot "$guest" "$here/first-boot.sh" >&2 || { say "the guest's first boot failed"; exit 1; }
touch "$guest/ready"
say "guest built in $(( $(date +%s) - started )) s"
echo "$guest"
