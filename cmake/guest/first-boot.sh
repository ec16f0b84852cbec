# The guest's first boot: the library cache, the zlib DLLs Wine loads, and a
# booted Wine prefix that test runs copy instead of booting Wine again (which
# costs a minute and a half in the guest). In the amd64 guest the prefix is a
# 64-bit one with its 32-bit half (WoW64), booted by the 64-bit loader: Debian's
# "wine" there prefers the 32-bit one, which cannot make a 64-bit prefix.
set -eu
ldconfig
for postinst in /sbin/libwine-postinst-*; do sh "$postinst" configure; done
export WINEPREFIX=/var/lib/guest/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$(dirname "$WINEPREFIX")"
wine=wine
[ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
# On a busy host the prefix's first boot can outlast the time the first Wine
# process waits for it (seen at a load of 20 on two cores): that process then
# fails to load its own DLLs, not yet in place (exit 53, c0000135), while the
# boot goes on. The boot is waited for, and the prefix booted once more.
if ! "$wine" wineboot -i >/tmp/wineboot.log 2>&1; then
  wineserver -w
  "$wine" wineboot -i >>/tmp/wineboot.log 2>&1 || { echo "wineboot -i failed twice ($?):"; tail -n 40 /tmp/wineboot.log; exit 1; }
fi
wineserver -w
# A 64-bit prefix whose 32-bit half lacks the typelib marshaler's class (what a
# wineboot short of disk space leaves) fails every activation.
if [ "$wine" != wine ]; then
  "$wine" reg query 'HKLM\Software\Classes\Wow6432Node\CLSID\{00020424-0000-0000-C000-000000000046}\InprocServer32' \
    >/dev/null 2>&1 || { echo "the prefix's 32-bit half has no proxy/stub classes"; exit 1; }
  wineserver -w
fi
echo "Wine $("$wine" --version) prefix ready ($(sed -n 's/^#arch=//p' "$WINEPREFIX/system.reg"))"
