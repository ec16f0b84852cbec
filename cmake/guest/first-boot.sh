# The guest's first boot: the library cache, the zlib DLLs Wine loads, and a
# booted Wine prefix that test runs copy instead of booting Wine again (which
# costs a minute and a half in the guest).
set -eu
ldconfig
sh /sbin/libwine-postinst configure
export WINEPREFIX=/var/lib/guest/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
mkdir -p "$(dirname "$WINEPREFIX")"
wineboot -i >/tmp/wineboot.log 2>&1 || { echo "wineboot -i failed ($?):"; tail -n 40 /tmp/wineboot.log; exit 1; }
wineserver -w
echo "Wine $(wine --version) prefix ready"
