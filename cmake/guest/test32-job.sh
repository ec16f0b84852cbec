# In the guest: the win32 build's Wine tests, then the demo on the win32 files.
# Every Wine prefix starts as a copy of the one the guest booted at its first boot.
export KELMO_WINEPREFIX_TEMPLATE=/var/lib/guest/wineprefix
# Under emulation the long tests run a sample of their work; the 64-bit run
# has the full counts. The sample still reaches every path of the 32-bit
# files: the fuzzer's cases, the splitter's corners and a run of the program,
# and eight clients at once whose every activation gets a 32-bit server of its
# own; more rounds of the same add time, not coverage. A fuzz case's time
# under emulation says nothing of the engine (the host's run keeps 5 s; here
# a case took 14 s once beside another test), so only a far slower one is a
# finding.
export KELMO_FUZZ_CASES=300 TOLLAN_STRESS_LINES=20000 TOLLAN_STRESS_RUNS=10 KELMO_PARALLEL_ROUNDS=2
export KELMO_FUZZ_CASE_LIMIT_MS=30000
cd "$(cat /job/tree)" || exit 1
ctest --preset win32-wine
tests=$?
echo "== the demo on the win32 files"
demo/demo.sh build/win32
demo=$?
echo "demo exit code: $demo"
[ $tests -eq 0 ] && [ $demo -eq 0 ]
