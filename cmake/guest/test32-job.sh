# In the guest: the win32 build's Wine tests, then the demo on the win32 files.
# Every Wine prefix starts as a copy of the one the guest booted at its first boot.
export KELMO_WINEPREFIX_TEMPLATE=/var/lib/guest/wineprefix
# Under emulation the script fuzzer runs a sample of its cases (the 64-bit run
# has the full count).
export KELMO_FUZZ_CASES=300
cd "$(cat /job/tree)" || exit 1
ctest --preset win32-wine
tests=$?
echo "== the demo on the win32 files"
demo/demo.sh build/win32
demo=$?
echo "demo exit code: $demo"
[ $tests -eq 0 ] && [ $demo -eq 0 ]
