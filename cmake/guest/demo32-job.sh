# In the guest: the demo on the win32 files.
export KELMO_WINEPREFIX_TEMPLATE=/var/lib/guest/wineprefix
cd "$(cat /job/tree)" || exit 1
demo/demo.sh build/win32
demo=$?
echo "demo exit code: $demo"
exit $demo
